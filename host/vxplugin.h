#ifndef VX_PLUGIN_H
#define VX_PLUGIN_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "vxflags.h"
#include "vxthread.h"

// The library's interface number that plug-ins are built against.
#define VX_ABI_VERSION 25
// The version of the plug-in interface (factory and classes below).
#define VX_PLUGIN_VERSION 0x20230309
// "BAXV" read as a little-endian word.
#define VX_PLUGIN_ABI_MAGIC 0x56584142u

// The record every plug-in library exports as `vx_plugin_abi`, read by the
// agent before it calls the factory. Eight little-endian 32-bit words.
struct vxPluginABI {
    uint32_t magic;
    uint32_t size;
    uint32_t abi_version;
    uint32_t plugin_version;
    uint32_t host[4];
};
static_assert(sizeof(vxPluginABI) == 32);

class vxPlugin : public vxThread
{
public:
    enum Type : uint8_t {
        TYPE_BASE = 0,
        TYPE_DETECTION = 1,
        TYPE_SINK = 2,
    };

    // A fixed underlying type, so an event number this interface does not
    // name (sent by a newer agent) is a valid value to ignore, not undefined.
    enum Event : int {
        EVENT_RELOAD = 0,
    };

    enum DispatchFlags : uint32_t {
        FORMAT_JSON = 0x01,
        FORMAT_MSGPACK = 0x04,
        COMPRESS_GZIP = 0x20,
    };

    vxPlugin(const std::string &tag,
        const std::map<std::string, std::string> &params);
    ~vxPlugin() override;

    virtual void GetLibrary(std::string &library) = 0;
    virtual void GetName(std::string &name) = 0;
    virtual void GetVersion(std::string &version) = 0;

    virtual void GetStatus(nlohmann::json &status) = 0;
    virtual void DisplayStatus(const nlohmann::json &status) = 0;

    virtual void DispatchEvent(Event event, void *param = nullptr) = 0;

    uint8_t type = TYPE_BASE;
    std::string conf_filename;
};

class vxPluginSinkPayload
{
public:
    // Copies `length` bytes from `data`.
    vxPluginSinkPayload(size_t length, const uint8_t *data,
        const std::set<std::string> &channel_names,
        vxFlags<vxPlugin::DispatchFlags> flags);
    // Adopts `data`, which holds `length` bytes, without a copy.
    vxPluginSinkPayload(size_t length, std::unique_ptr<uint8_t[]> data,
        const std::set<std::string> &channel_names,
        vxFlags<vxPlugin::DispatchFlags> flags);

    size_t length;
    std::unique_ptr<uint8_t[]> data;
    std::set<std::string> channel_names;
    vxFlags<vxPlugin::DispatchFlags> flags;
};

class vxPluginSink : public vxPlugin
{
public:
    vxPluginSink(const std::string &tag,
        const std::map<std::string, std::string> &params);
    ~vxPluginSink() override;

    // Wakes a thread blocked in WaitOnPayloadQueue() as well.
    void Terminate() override;

    virtual void QueuePayload(const std::shared_ptr<vxPluginSinkPayload> &payload);

    // What still sits in the queue, not yet taken by the plug-in: a producer
    // that bounds its read-ahead by this, rather than by what the plug-in
    // has not released, is not held up by payloads a channel keeps waiting.
    // Safe from any thread. The byte count walks the queue, a step for each
    // payload in it.
    struct QueueLevel {
        size_t payloads = 0;
        size_t bytes = 0;
    };
    QueueLevel Queued() const;

protected:
    // Waits up to `timeout` seconds for payloads. Returns the number queued,
    // or 0 when the wait ran out or the thread was asked to terminate.
    size_t WaitOnPayloadQueue(unsigned timeout = 1);
    // Takes the oldest payload; false when the queue is empty.
    bool PopPayloadQueue(std::shared_ptr<vxPluginSinkPayload> &payload);

private:
    mutable std::mutex queue_lock;
    std::condition_variable queue_cond;
    std::deque<std::shared_ptr<vxPluginSinkPayload>> queue;
};

// The factory every plug-in library exports under this unmangled name.
extern "C" {
typedef vxPlugin *(*vxPluginInitFunction)(const std::string &tag,
    const std::map<std::string, std::string> &params);
}

#endif
