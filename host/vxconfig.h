#ifndef VX_CONFIG_H
#define VX_CONFIG_H

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "vxflags.h"

enum vxUUID {
    UUID_AGENT = 1,
    UUID_SITE = 2,
    UUID_SERIAL = 3,
};

// Agent-wide settings. The agent owns the instance and publishes it with
// SetInstance(); plug-ins only read it.
class vxGlobalConfig
{
public:
    enum GlobalFlags : uint32_t {
        DEBUG = 0x1,
        DEBUG_CURL = 0x2,
    };

    static vxGlobalConfig &GetInstance();
    // Publishes (or, with nullptr, withdraws) the agent's instance.
    static void SetInstance(vxGlobalConfig *config);

    // Fills `uuid` with the stored identifier exactly as stored (it may end
    // in a line break). Returns false, leaving `uuid` empty, when none is
    // stored.
    bool LoadUUID(vxUUID type, std::string &uuid);
    void SetUUID(vxUUID type, const std::string &uuid);

    vxFlags<GlobalFlags> flags;
    // Agent variables, keyed by their full text, such as "${site_name}".
    std::map<std::string, std::string> conf_vars;

private:
    static std::atomic<vxGlobalConfig *> instance;

    std::mutex uuid_lock;
    std::map<vxUUID, std::string> uuids;
};

// A configuration published for as long as this object lives, and withdrawn
// before it goes, so that no plug-in can reach one that no longer exists.
class vxGlobalConfigScope
{
public:
    vxGlobalConfigScope() { vxGlobalConfig::SetInstance(&config); }
    ~vxGlobalConfigScope() { vxGlobalConfig::SetInstance(nullptr); }
    vxGlobalConfigScope(const vxGlobalConfigScope &) = delete;
    vxGlobalConfigScope &operator=(const vxGlobalConfigScope &) = delete;

    vxGlobalConfig config;
};

#endif
