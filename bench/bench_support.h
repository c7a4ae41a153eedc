#ifndef VX_BENCH_SUPPORT_H
#define VX_BENCH_SUPPORT_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "config/channel_config.h"
#include "delivery/curl_ptr.h"
#include "vxconfig.h"
#include "vxplugin.h"
#include "vxplugin_loader.h"

#include "test_support.h"

namespace vxbench {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start);

// Command line: "--name value" pairs after the subcommand.
class Args
{
public:
    Args(int argc, char **argv, int first);
    std::string Get(const std::string &name, const std::string &fallback) const;
    long GetLong(const std::string &name, long fallback) const;
    double GetDouble(const std::string &name, double fallback) const;
    std::string Require(const std::string &name) const;

private:
    std::map<std::string, std::string> values;
};

// Process memory figures from /proc/self/status, in KiB.
struct MemoryStatus {
    long rss_kib = 0;
    long hwm_kib = 0;
};
MemoryStatus ReadMemoryStatus();
// Bytes the allocator has handed out and not had back.
size_t HeapInUse();

// The agent's global settings and a log sink that keeps the lines the
// plug-in writes, so a benchmark can tell a failed post from a good one.
class AgentScope
{
public:
    AgentScope();
    ~AgentScope();
    AgentScope(const AgentScope &) = delete;
    AgentScope &operator=(const AgentScope &) = delete;

    // Lines logged since the last call, the start banner left out.
    std::vector<std::string> TakeLog();

    // Published for as long as the scope lives.
    vxGlobalConfigScope global;

private:
    std::mutex lock;
    std::vector<std::string> lines;
};

// A private folder, removed with its contents (shared with the tests).
using vxtest::TempDir;

// The configuration file of one channel named "bench" posting to `url`.
std::string ChannelConfigText(const std::string &url);
extern const char *const bench_channel;

// Owns an instance the way the agent does: asks it to stop before destroying
// it (the destructor joins the thread, which ends only once asked to).
using PluginPtr = vxPluginSinkOwner;

// The plug-in library opened and checked the way the agent does it.
class PluginLibrary
{
public:
    explicit PluginLibrary(const std::string &path) : library(path) { }

    // A new instance reading `conf_filename`, its thread already started.
    PluginPtr Start(const std::string &tag,
        const std::string &conf_filename) const;

private:
    vxPluginLibrary library;
};


// Counts payloads the plug-in has let go of. The plug-in drops its reference
// once a payload is posted to all its channels, so the count tells how many
// posts are done without looking at the server.
class ReleaseCounter
{
public:
    // Starts a new count that is complete after `expected` releases.
    void Reset(uint64_t expected);
    void Released();
    uint64_t Count() const { return released.load(); }
    // Waits until the count is complete; false when the time ran out.
    bool Wait(std::chrono::milliseconds timeout);
    // When the release that completed the count happened, taken on the
    // releasing thread: waking the waiter can take a while on a busy
    // machine, and that delay is not the plug-in's.
    Clock::time_point CompletedAt();

private:
    std::atomic<uint64_t> released{ 0 };
    std::atomic<uint64_t> expected{ 0 };
    std::mutex lock;
    std::condition_variable cond;
    Clock::time_point completed_at;
};

// Deleter for a reference to a payload the benchmark keeps: only counts.
struct CountRelease {
    ReleaseCounter *counter;
    void operator()(vxPluginSinkPayload *) const { counter->Released(); }
};

// Payloads of one body size with distinct bodies, all for the bench channel,
// reused round after round by the plug-in and the bare loop alike.
class PayloadPool
{
public:
    PayloadPool(size_t body_size, size_t count);
    size_t Size() const { return payloads.size(); }
    const vxPluginSinkPayload &operator[](size_t i) const { return *payloads[i % payloads.size()]; }
    vxPluginSinkPayload *Mutable(size_t i) { return payloads[i % payloads.size()].get(); }

private:
    std::vector<std::unique_ptr<vxPluginSinkPayload>> payloads;
};

// A body of `size` bytes of JSON-looking text, every page written.
std::unique_ptr<uint8_t[]> MakeBody(size_t size, unsigned seed);

// The flags every benchmark payload carries.
vxFlags<vxPlugin::DispatchFlags> BenchFlags();

// The ceiling: one easy handle set up by the same option functions as the
// plug-in's poster, posting each body over one kept-alive connection, with
// none of the plug-in's queue, thread or logging.
class BareLoop
{
public:
    explicit BareLoop(const std::string &url);
    // True when the server answered 200.
    bool Post(const vxPluginSinkPayload &payload);
    // Bytes of the last request body libcurl sent, and whether that request
    // had to open a new connection.
    curl_off_t LastUploaded() const;
    bool LastReusedConnection() const;
    const char *LastError() const { return error; }

private:
    static size_t Sink(char *ptr, size_t size, size_t nmemb, void *userdata);

    htsCurlEasyPtr handle;
    htsChannelConfig channel;
    char error[CURL_ERROR_SIZE] = {};
    std::string response;
    std::atomic<bool> stop{ false };
};

// Queues `count` payloads, cycling through the pool, and returns the seconds
// until the plug-in has let go of the last one (all posted).
double TimePluginPosts(vxPluginSink &plugin, PayloadPool &pool, size_t count,
    ReleaseCounter &counter, std::chrono::milliseconds timeout);
// Posts `count` payloads, cycling through the pool; throws on the first
// failure. Returns the seconds taken.
double TimeBarePosts(BareLoop &bare, const PayloadPool &pool, size_t count);

// Median of the values (the mean of the middle two for an even count).
double Median(std::vector<double> values);

std::string Fixed(double value, int decimals);

} // namespace vxbench

#endif
