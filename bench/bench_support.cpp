#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "bench_support.h"
#include "delivery/transfer_callbacks.h"
#include "delivery/transfer_options.h"
#include "vxconfig.h"
#include "vxlog.h"
#include "vxutils.h"

namespace vxbench {

const char *const bench_channel = "bench";

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

Args::Args(int argc, char **argv, int first)
{
    for (int i = first; i < argc; ++i) {
        std::string name(argv[i]);
        if (name.rfind("--", 0) != 0 || i + 1 >= argc)
            throw std::runtime_error("expected --name value pairs, got: " + name);
        values[name.substr(2)] = argv[++i];
    }
}

std::string Args::Get(const std::string &name, const std::string &fallback) const
{
    auto it = values.find(name);
    return it == values.end() ? fallback : it->second;
}

long Args::GetLong(const std::string &name, long fallback) const
{
    auto it = values.find(name);
    return it == values.end() ? fallback : std::stol(it->second);
}

double Args::GetDouble(const std::string &name, double fallback) const
{
    auto it = values.find(name);
    return it == values.end() ? fallback : std::stod(it->second);
}

std::string Args::Require(const std::string &name) const
{
    auto it = values.find(name);
    if (it == values.end()) throw std::runtime_error("missing --" + name);
    return it->second;
}

MemoryStatus ReadMemoryStatus()
{
    MemoryStatus status;
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) status.rss_kib = std::stol(line.substr(6));
        if (line.rfind("VmHWM:", 0) == 0) status.hwm_kib = std::stol(line.substr(6));
    }
    return status;
}

size_t HeapInUse()
{
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

AgentScope::AgentScope()
{
    global.config.SetUUID(UUID_AGENT, "0f5c1e2a-6a57-4d3c-9a51-3b8f0c1d2e3f");
    global.config.SetUUID(UUID_SITE, "7d2b9c4e-1f08-4b6a-8e3d-5a6c7b8d9e0f");
    global.config.SetUUID(UUID_SERIAL, "VX-BENCH-0001");
    vx_log_set_sink([this](const std::string &text) {
        if (text.find(": Vornix Agent HTTP Sink Plugin v") != std::string::npos) return;
        std::lock_guard<std::mutex> guard(lock);
        lines.push_back(text);
    });
}

AgentScope::~AgentScope()
{
    vx_log_set_sink({});
}

std::vector<std::string> AgentScope::TakeLog()
{
    std::lock_guard<std::mutex> guard(lock);
    std::vector<std::string> taken;
    taken.swap(lines);
    return taken;
}

std::string ChannelConfigText(const std::string &url)
{
    // The URL is the operator's or ours; quotes and backslashes would need
    // escaping, which URLs given on a command line do not carry.
    if (url.find_first_of("\"\\") != std::string::npos)
        throw std::runtime_error("URL must not contain quotes or backslashes");
    return std::string("{\n  \"channels\": {\n    \"") + bench_channel + "\": { \"url\": \"" +
        url + "\" }\n  }\n}\n";
}

PluginPtr PluginLibrary::Start(const std::string &tag,
    const std::string &conf_filename) const
{
    PluginPtr owned = library.CreateSink(tag, { { "conf_filename", conf_filename } });
    owned->Create();
    return owned;
}

void ReleaseCounter::Reset(uint64_t count)
{
    std::lock_guard<std::mutex> guard(lock);
    released = 0;
    expected = count;
    completed_at = Clock::time_point();
}

void ReleaseCounter::Released()
{
    const uint64_t now_released = released.fetch_add(1) + 1;
    if (now_released == expected.load()) {
        const Clock::time_point now = Clock::now();
        // Taken so the notification cannot fall between the waiter's check
        // and its sleep.
        std::lock_guard<std::mutex> guard(lock);
        completed_at = now;
        cond.notify_all();
    }
}

bool ReleaseCounter::Wait(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> guard(lock);
    return cond.wait_for(guard, timeout, [&] { return released.load() >= expected.load(); });
}

Clock::time_point ReleaseCounter::CompletedAt()
{
    std::lock_guard<std::mutex> guard(lock);
    return completed_at;
}

std::unique_ptr<uint8_t[]> MakeBody(size_t size, unsigned seed)
{
    auto body = std::make_unique_for_overwrite<uint8_t[]>(size);
    size_t pos = 0;
    unsigned n = seed * 7919u;
    char record[64];
    while (pos < size && pos < 4096) {
        int len = snprintf(record, sizeof(record), "{\"flow\":%u,\"bytes\":%u,\"proto\":\"tcp\"},",
            n, (n * 2654435761u) % 1000000u);
        size_t take = std::min(size - pos, static_cast<size_t>(len));
        memcpy(body.get() + pos, record, take);
        pos += take;
        ++n;
    }
    // The rest repeats the first block; every page is still written.
    const size_t block = pos;
    while (pos < size) {
        size_t take = std::min(block, size - pos);
        memcpy(body.get() + pos, body.get(), take);
        pos += take;
    }
    return body;
}

vxFlags<vxPlugin::DispatchFlags> BenchFlags() { return vxFlags(vxPlugin::FORMAT_JSON); }

PayloadPool::PayloadPool(size_t body_size, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        payloads.push_back(std::make_unique<vxPluginSinkPayload>(body_size,
            MakeBody(body_size, static_cast<unsigned>(i)),
            std::set<std::string>{ bench_channel }, BenchFlags()));
    }
}

BareLoop::BareLoop(const std::string &url)
{
    handle.reset(curl_easy_init());
    if (!handle) throw std::runtime_error("curl_easy_init failed");

    htsHandleCallbacks callbacks;
    callbacks.error_buffer = error;
    callbacks.write_function = Sink;
    callbacks.write_data = this;
    callbacks.progress_function = htsProgressCheck;
    callbacks.progress_data = &stop;
    if (!htsSetHandleOptions(handle.get(), callbacks))
        throw std::runtime_error("libcurl refused a handle option");

    channel.channel = bench_channel;
    channel.url = url;
}

size_t BareLoop::Sink(char *ptr, size_t size, size_t nmemb, void *userdata)
{
    // Keeps as much of the answer as the plug-in does.
    auto *self = static_cast<BareLoop *>(userdata);
    size_t length = size * nmemb;
    size_t room = self->response.size() < htsResponseMax ? htsResponseMax - self->response.size() : 0;
    self->response.append(ptr, std::min(length, room));
    return length;
}

bool BareLoop::Post(const vxPluginSinkPayload &payload)
{
    CURL *ch = handle.get();
    curl_slist *headers = channel.GetHeaders(payload.flags);
    if (headers == nullptr || !htsSetPostOptions(ch, channel, headers, payload)) return false;
    response.clear();
    error[0] = '\0';
    if (curl_easy_perform(ch) != CURLE_OK) return false;
    long code = 0;
    if (curl_easy_getinfo(ch, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK) return false;
    return code == 200;
}

curl_off_t BareLoop::LastUploaded() const
{
    curl_off_t bytes = -1;
    curl_easy_getinfo(handle.get(), CURLINFO_SIZE_UPLOAD_T, &bytes);
    return bytes;
}

bool BareLoop::LastReusedConnection() const
{
    long connects = -1;
    curl_easy_getinfo(handle.get(), CURLINFO_NUM_CONNECTS, &connects);
    return connects == 0;
}

double TimePluginPosts(vxPluginSink &plugin, PayloadPool &pool, size_t count,
    ReleaseCounter &counter, std::chrono::milliseconds timeout)
{
    // References made beforehand, so the clock covers queueing and posting
    // only; each one counts when the plug-in drops it after its post.
    std::vector<std::shared_ptr<vxPluginSinkPayload>> refs;
    refs.reserve(count);
    for (size_t i = 0; i < count; ++i) refs.emplace_back(pool.Mutable(i), CountRelease{ &counter });
    counter.Reset(count);

    Clock::time_point start = Clock::now();
    for (auto &ref : refs) {
        plugin.QueuePayload(ref);
        ref.reset();
    }
    if (!counter.Wait(timeout)) throw std::runtime_error("plug-in did not post every payload in time");
    return std::chrono::duration<double>(counter.CompletedAt() - start).count();
}

double TimeBarePosts(BareLoop &bare, const PayloadPool &pool, size_t count)
{
    Clock::time_point start = Clock::now();
    for (size_t i = 0; i < count; ++i) {
        if (!bare.Post(pool[i]))
            throw std::runtime_error(std::string("bare loop post failed: ") + bare.LastError());
    }
    return SecondsSince(start);
}

double Median(std::vector<double> values)
{
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2.0;
}

std::string Fixed(double value, int decimals)
{
    char text[64];
    snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

} // namespace vxbench
