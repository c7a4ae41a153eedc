#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include <nlohmann/json.hpp>

#include "delivery/parallel_delivery.h"
#include "delivery/transfer_callbacks.h"
#include "delivery/transfer_options.h"
#include "loopback_collector.h"
#include "measure_parallel.h"

namespace vxbench {

namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

void Emit(const json &record) { printf("%s\n", record.dump().c_str()); }

// Fails the measure when the plug-in logged a line other than the expected
// ones: a failed post is logged, never thrown.
void RequireOnly(AgentScope &agent, const char *what, std::initializer_list<const char *> allowed = {})
{
    std::string text;
    for (const std::string &line : agent.TakeLog()) {
        bool ok = false;
        for (const char *a : allowed) ok = ok || line.find(a) != std::string::npos;
        if (!ok) text += "  " + line;
    }
    if (!text.empty()) throw std::runtime_error(std::string(what) + ": the plug-in reported:\n" + text);
}

// CPU time of the whole process (every thread), in seconds.
double ProcessCpuSeconds()
{
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// HTTP/2 over TLS, negotiated, trusting `ca_file`; empty for the defaults.
struct Http2Tls {
    std::string ca_file;
    bool On() const { return !ca_file.empty(); }
};

std::string ParallelConfigText(const std::string &url, long in_flight, const Http2Tls &h2 = {})
{
    const std::string extra =
        h2.On() ? ", \"http_version\": \"2\", \"tls_ca_file\": " + json(h2.ca_file).dump() : std::string();
    return "{ \"delivery\": \"parallel\", \"max_in_flight\": " + std::to_string(in_flight) +
        ", \"channels\": { \"" + bench_channel + "\": { \"url\": \"" + url + "\"" + extra + " } } }";
}

// The ceiling for parallel delivery: a libcurl multi loop on one thread
// keeping `in_flight` posts going, each handle set up by the same option
// functions as the plug-in's, with none of its queue, backlog or logging.
class BareMulti
{
public:
    BareMulti(const std::string &url, size_t in_flight, const Http2Tls &h2 = {})
    {
        multi.reset(curl_multi_init());
        if (!multi) throw std::runtime_error("curl_multi_init failed");
        curl_multi_setopt(multi.get(), CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_MULTIPLEX));
        // One kept connection per post in flight, whatever is attached.
        curl_multi_setopt(multi.get(), CURLMOPT_MAXCONNECTS, static_cast<long>(in_flight));
        channel.channel = bench_channel;
        channel.url = url;
        if (h2.On()) {
            channel.http_version = htsHttpVersion::Http2;
            channel.tls_ca_file = h2.ca_file;
        }
        for (size_t i = 0; i < in_flight; i++) {
            auto slot = std::make_unique<Slot>();
            slot->handle.reset(curl_easy_init());
            if (!slot->handle) throw std::runtime_error("curl_easy_init failed");
            htsHandleCallbacks callbacks;
            callbacks.error_buffer = slot->error;
            callbacks.write_function = Sink;
            callbacks.write_data = slot.get();
            callbacks.progress_function = htsProgressCheck;
            callbacks.progress_data = &stop;
            if (!htsSetHandleOptions(slot->handle.get(), callbacks))
                throw std::runtime_error("libcurl refused a handle option");
            curl_easy_setopt(slot->handle.get(), CURLOPT_PRIVATE, slot.get());
            slots.push_back(std::move(slot));
        }
    }

    // Posts `count` payloads of the pool; the seconds taken. Throws on the
    // first post that did not get its 200.
    double Post(const PayloadPool &pool, size_t count)
    {
        std::vector<Slot *> idle;
        for (auto &s : slots) idle.push_back(s.get());
        size_t next = 0, done = 0;
        const Clock::time_point start = Clock::now();
        while (done < count) {
            while (!idle.empty() && next < count) {
                Slot *slot = idle.back();
                idle.pop_back();
                const vxPluginSinkPayload &payload = pool[next++];
                if (!htsSetPostOptions(slot->handle.get(), channel, channel.GetHeaders(payload.flags), payload))
                    throw std::runtime_error("libcurl refused a post option");
                slot->response.clear();
                curl_multi_add_handle(multi.get(), slot->handle.get());
            }
            int running = 0;
            curl_multi_perform(multi.get(), &running);
            int left = 0;
            bool reaped = false;
            while (CURLMsg *msg = curl_multi_info_read(multi.get(), &left)) {
                if (msg->msg != CURLMSG_DONE) continue;
                CURL *handle = msg->easy_handle;
                const CURLcode rc = msg->data.result;
                char *address = nullptr;
                curl_easy_getinfo(handle, CURLINFO_PRIVATE, &address);
                auto *slot = reinterpret_cast<Slot *>(address);
                curl_multi_remove_handle(multi.get(), handle);
                long code = 0;
                curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &code);
                if (rc != CURLE_OK || code != 200)
                    throw std::runtime_error("bare multi loop post failed: code " + std::to_string(code) + ", libcurl [" +
                        std::to_string(static_cast<int>(rc)) + "] " + slot->error);
                idle.push_back(slot);
                done++;
                reaped = true;
            }
            if (!reaped && done < count) curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr);
        }
        return SecondsSince(start);
    }

private:
    struct Slot {
        htsCurlEasyPtr handle;
        char error[CURL_ERROR_SIZE] = {};
        std::string response;
    };

    static size_t Sink(char *ptr, size_t size, size_t nmemb, void *userdata)
    {
        auto *slot = static_cast<Slot *>(userdata);
        size_t length = size * nmemb;
        size_t room = slot->response.size() < htsResponseMax ? htsResponseMax - slot->response.size() : 0;
        slot->response.append(ptr, std::min(length, room));
        return length;
    }

    std::vector<std::unique_ptr<Slot>> slots;
    htsCurlMultiPtr multi;
    htsChannelConfig channel;
    std::atomic<bool> stop{ false };
};

struct Comparison {
    std::vector<double> plugin, bare, ratio;
};

// Plug-in (parallel) against the bare multi loop in rounds of `count` posts,
// the order turned every round so a drift in the machine's load favours
// neither; per-round records on the way.
Comparison CompareRounds(const char *measure, vxPluginSink &plugin, BareMulti &bare, PayloadPool &pool,
    size_t count, long rounds, AgentScope &agent)
{
    Comparison c;
    ReleaseCounter counter;
    for (long round = 1; round <= rounds; ++round) {
        double a = 0, b = 0;
        auto run_plugin = [&] {
            a = static_cast<double>(count) / TimePluginPosts(plugin, pool, count, counter, 120s);
            RequireOnly(agent, measure);
        };
        auto run_bare = [&] { b = static_cast<double>(count) / bare.Post(pool, count); };
        if (round % 2) {
            run_plugin();
            run_bare();
        }
        else {
            run_bare();
            run_plugin();
        }
        c.plugin.push_back(a);
        c.bare.push_back(b);
        c.ratio.push_back(a / b);
        Emit({ { "measure", measure }, { "round", round }, { "posts", count },
            { "plugin_posts_per_s", a }, { "bare_multi_posts_per_s", b }, { "ratio", a / b } });
        fprintf(stderr, "  %s round %ld: plug-in %.0f/s, bare multi %.0f/s, ratio %.3f\n", measure, round, a, b, a / b);
    }
    return c;
}

double SerialRate(const PluginLibrary &library, const std::string &url, PayloadPool &pool, size_t count,
    AgentScope &agent, const char *measure)
{
    TempDir dir;
    PluginPtr serial = library.Start("serial", dir.Write("serial.json", ChannelConfigText(url)));
    ReleaseCounter counter;
    TimePluginPosts(*serial, pool, std::max<size_t>(count / 10, 2), counter, 120s);
    double rate = static_cast<double>(count) / TimePluginPosts(*serial, pool, count, counter, 300s);
    serial.reset();
    RequireOnly(agent, measure);
    fprintf(stderr, "  %s serial: %.0f/s\n", measure, rate);
    return rate;
}

int ParallelAgainstBare(const char *measure, const std::string &plugin_path, const std::string &url, size_t size, long in_flight, long rounds,
    size_t count, size_t serial_count, double bare_target, double serial_target, json extra, const Http2Tls &h2 = {})
{
    AgentScope agent;
    TempDir dir;
    PluginLibrary library(plugin_path);
    PayloadPool pool(size, 64);
    BareMulti bare(url, static_cast<size_t>(in_flight), h2);
    PluginPtr plugin = library.Start("parallel", dir.Write("parallel.json", ParallelConfigText(url, in_flight, h2)));

    // Warm-up: connections opened, handles made, on both sides.
    ReleaseCounter warm;
    TimePluginPosts(*plugin, pool, count / 4 + 1, warm, 120s);
    bare.Post(pool, count / 4 + 1);
    RequireOnly(agent, measure);

    Comparison c = CompareRounds(measure, *plugin, bare, pool, count, rounds, agent);
    plugin.reset();
    RequireOnly(agent, measure);
    const double plugin_rate = Median(c.plugin);
    const double ratio = Median(c.ratio);
    json summary = { { "measure", measure }, { "summary", true }, { "body_bytes", size },
        { "max_in_flight", in_flight }, { "rounds", rounds }, { "posts_per_round", count },
        { "plugin_posts_per_s", plugin_rate }, { "bare_multi_posts_per_s", Median(c.bare) },
        { "ratio_to_bare_multi", ratio }, { "target_ratio_to_bare_multi", bare_target }, { "met", ratio >= bare_target } };
    // Serial delivery's rate beside it, where the comparison means something
    // (serial posts are HTTP/1.1 here).
    if (serial_count > 0) {
        const double serial = SerialRate(library, url, pool, serial_count, agent, measure);
        summary["serial_posts_per_s"] = serial;
        summary["ratio_to_serial"] = plugin_rate / serial;
        summary["target_ratio_to_serial"] = serial_target;
        summary["met"] = ratio >= bare_target && plugin_rate / serial >= serial_target;
    }
    summary.update(extra);
    Emit(summary);
    return 0;
}

} // namespace

int MeasureParallelDelay(const Args &args)
{
    const long delay_ms = args.GetLong("delay-ms", 10);
    const long in_flight = args.GetLong("in-flight", 32);
    LoopbackCollector collector{ std::chrono::milliseconds(delay_ms) };
    const std::string url = collector.Url("/ingest");
    const int rc = ParallelAgainstBare("parallel_delayed_collector", args.Get("plugin", VX_PLUGIN_PATH), url, 1024, in_flight, args.GetLong("rounds", 6),
        static_cast<size_t>(args.GetLong("posts", 3000)), static_cast<size_t>(args.GetLong("serial-posts", 100)),
        0.95, 25.0, { { "collector_delay_ms", delay_ms } });
    // Each plug-in or bare-loop post held one connection: the limit kept.
    Emit({ { "measure", "parallel_delayed_collector" }, { "collector_connections", collector.Connections() } });
    return rc;
}

int MeasureParallelThroughput(const Args &args)
{
    const std::string url = args.Require("url");
    const size_t size = static_cast<size_t>(args.GetLong("size", 1024));
    const long in_flight = args.GetLong("in-flight", 8);
    const double seconds = args.GetDouble("seconds", 0.3);

    // The run length follows the machine: as many posts as the bare multi
    // loop makes in about `seconds`.
    size_t count = 0;
    {
        PayloadPool pool(size, 64);
        BareMulti bare(url, static_cast<size_t>(in_flight));
        bare.Post(pool, 200);
        const double rate = 2000.0 / bare.Post(pool, 2000);
        count = std::max<size_t>(200, static_cast<size_t>(rate * seconds));
    }
    return ParallelAgainstBare("parallel_nginx", args.Get("plugin", VX_PLUGIN_PATH), url, size, in_flight, args.GetLong("rounds", 10), count,
        std::max<size_t>(200, count / 4), 0.95, 2.5, { { "url", url } });
}

int MeasureParallelHttp2(const Args &args)
{
    const std::string url = args.Require("url");
    const Http2Tls h2{ args.Require("ca") };
    const long in_flight = args.GetLong("in-flight", 32);
    const size_t size = static_cast<size_t>(args.GetLong("size", 1024));
    const double seconds = args.GetDouble("seconds", 0.5);
    size_t count = 0;
    {
        PayloadPool pool(size, 64);
        BareMulti bare(url, static_cast<size_t>(in_flight), h2);
        bare.Post(pool, 200);
        const double rate = 2000.0 / bare.Post(pool, 2000);
        count = std::max<size_t>(500, static_cast<size_t>(rate * seconds));
    }
    return ParallelAgainstBare("parallel_http2", args.Get("plugin", VX_PLUGIN_PATH), url, size, in_flight,
        args.GetLong("rounds", 10), count, 0, 0.95, 0, { { "url", url }, { "http_version", "2" } }, h2);
}

int MeasureParallelHung(const Args &args)
{
    const long rounds = args.GetLong("rounds", 6);
    const size_t count = static_cast<size_t>(args.GetLong("posts", 20000));
    const long in_flight = args.GetLong("in-flight", 8);
    const long delay_ms = args.GetLong("delay-ms", 0);
    const size_t size = 1024;

    AgentScope agent;
    TempDir dir;
    PluginLibrary library(args.Get("plugin", VX_PLUGIN_PATH));
    LoopbackCollector healthy{ std::chrono::milliseconds(delay_ms) };
    LoopbackCollector hung(std::chrono::microseconds(0), true);
    const std::string flags = ", \"max_in_flight\": " + std::to_string(in_flight) + " }";
    const std::string ok = "\"ok\": { \"url\": \"" + healthy.Url("/ok") + "\"" + flags;
    PluginPtr beside = library.Start("beside", dir.Write("beside.json",
        "{ \"delivery\": \"parallel\", \"channels\": { " + ok + ", \"hung\": { \"url\": \"" + hung.Url("/hung") +
            "\"" + flags + " } }"));
    PluginPtr alone = library.Start("alone", dir.Write("alone.json",
        "{ \"delivery\": \"parallel\", \"channels\": { " + ok + " } }"));

    // Healthy posts per second: from the first payload queued to the
    // collector's answer to the last. The process's CPU time per post goes
    // with it: on a shared machine it shows the work a hung channel adds
    // more steadily than the rate does.
    double cpu_us = 0;
    auto run = [&](vxPluginSink &plugin, const std::set<std::string> &channels) {
        std::vector<std::shared_ptr<vxPluginSinkPayload>> payloads;
        payloads.reserve(count);
        for (size_t i = 0; i < count; i++)
            payloads.push_back(std::make_shared<vxPluginSinkPayload>(size, MakeBody(size, static_cast<unsigned>(i)),
                channels, BenchFlags()));
        const uint64_t before = healthy.Answered();
        const double cpu = ProcessCpuSeconds();
        const Clock::time_point start = Clock::now();
        for (auto &p : payloads) {
            plugin.QueuePayload(p);
            p.reset();
        }
        if (!healthy.WaitAnswered(before + count, 120s)) throw std::runtime_error("healthy channel fell behind");
        const double rate = static_cast<double>(count) / SecondsSince(start);
        cpu_us = (ProcessCpuSeconds() - cpu) / static_cast<double>(count) * 1e6;
        return rate;
    };
    const std::initializer_list<const char *> hung_lines = { "backlog full", "accepting again" };
    // The hung channel's backlog filled first, so every round sees it in
    // its steady state (dropping); while it still takes payloads it holds
    // them, and the bodies it spares the worker from freeing would flatter
    // the rounds with it.
    for (size_t filled = 0; filled < ((64u << 20) / size) + 1000; filled++)
        beside->QueuePayload(std::make_shared<vxPluginSinkPayload>(size, MakeBody(size, 7),
            std::set<std::string>{ "hung" }, BenchFlags()));
    run(*alone, { "ok" });
    run(*beside, { "ok", "hung" });
    RequireOnly(agent, "parallel_hung_beside_healthy", hung_lines);

    std::vector<double> with, without, ratio, cpu_with, cpu_without;
    for (long round = 1; round <= rounds; ++round) {
        double a = 0, b = 0;
        if (round % 2) {
            a = run(*beside, { "ok", "hung" });
            cpu_with.push_back(cpu_us);
            b = run(*alone, { "ok" });
            cpu_without.push_back(cpu_us);
        }
        else {
            b = run(*alone, { "ok" });
            cpu_without.push_back(cpu_us);
            a = run(*beside, { "ok", "hung" });
            cpu_with.push_back(cpu_us);
        }
        RequireOnly(agent, "parallel_hung_beside_healthy", hung_lines);
        with.push_back(a);
        without.push_back(b);
        ratio.push_back(a / b);
        Emit({ { "measure", "parallel_hung_beside_healthy" }, { "round", round }, { "posts", count },
            { "healthy_posts_per_s_with_hung", a }, { "healthy_posts_per_s_alone", b }, { "ratio", a / b },
            { "cpu_us_per_post_with_hung", cpu_with.back() }, { "cpu_us_per_post_alone", cpu_without.back() } });
        fprintf(stderr, "  hung beside healthy, round %ld: %.0f/s with, %.0f/s without, ratio %.3f, CPU us/post %.1f %.1f\n",
            round, a, b, a / b, cpu_with.back(), cpu_without.back());
    }
    const double r = Median(ratio);
    Emit({ { "measure", "parallel_hung_beside_healthy" }, { "summary", true }, { "body_bytes", size },
        { "max_in_flight", in_flight }, { "collector_delay_ms", delay_ms }, { "healthy_posts_per_s_with_hung", Median(with) },
        { "healthy_posts_per_s_alone", Median(without) }, { "ratio", r }, { "target_ratio", 0.95 },
        { "cpu_us_per_post_with_hung", Median(cpu_with) }, { "cpu_us_per_post_alone", Median(cpu_without) },
        { "met", r >= 0.95 } });
    beside.reset();
    alone.reset();
    agent.TakeLog(); // the stop's "not sent" and aborted lines for the hung channel
    return 0;
}

int MeasureParallelLatency(const Args &args)
{
    const long samples = args.GetLong("samples", 200);
    AgentScope agent;
    TempDir dir;
    PluginLibrary library(args.Get("plugin", VX_PLUGIN_PATH));
    LoopbackCollector healthy{ std::chrono::microseconds(0) };
    LoopbackCollector hung(std::chrono::microseconds(0), true);
    PluginPtr plugin = library.Start("latency", dir.Write("latency.json",
        "{ \"delivery\": \"parallel\", \"channels\": { \"ok\": { \"url\": \"" + healthy.Url("/ok") +
            "\" }, \"hung\": { \"url\": \"" + hung.Url("/hung") + "\", \"max_in_flight\": 4 } } }"));
    auto payload = [](const char *channel) {
        return std::make_shared<vxPluginSinkPayload>(1024, MakeBody(1024, 1), std::set<std::string>{ channel },
            BenchFlags());
    };
    // Transfers that never end keep the worker asleep on their sockets.
    for (int i = 0; i < 4; i++) plugin->QueuePayload(payload("hung"));
    plugin->QueuePayload(payload("ok"));
    if (!healthy.WaitAnswered(1, 10s)) throw std::runtime_error("the healthy collector got nothing");

    std::vector<double> ms;
    for (long i = 0; i < samples; i++) {
        std::this_thread::sleep_for(5ms);
        auto p = payload("ok");
        const uint64_t before = healthy.Received();
        const Clock::time_point start = Clock::now();
        plugin->QueuePayload(p);
        p.reset();
        while (healthy.Received() == before) {
            if (SecondsSince(start) > 5) throw std::runtime_error("a payload did not start");
            std::this_thread::sleep_for(20us);
        }
        ms.push_back(SecondsSince(start) * 1000.0);
    }
    std::sort(ms.begin(), ms.end());
    const double median = Median(ms);
    Emit({ { "measure", "parallel_start_latency" }, { "summary", true }, { "samples", samples },
        { "median_ms", median }, { "p90_ms", ms[ms.size() * 9 / 10] }, { "max_ms", ms.back() },
        { "target_median_ms", 1.0 }, { "met", median <= 1.0 } });
    plugin.reset();
    agent.TakeLog(); // the hung channel's aborted posts
    return 0;
}

namespace {

// One process's peak resident memory, in KiB, with `offer_bytes` offered to
// a hung channel (0: the same set-up with nothing offered).
long PeakWithOffer(const std::string &plugin_path, size_t offer_bytes, size_t payload_bytes)
{
    AgentScope agent;
    TempDir dir;
    PluginLibrary library(plugin_path);
    LoopbackCollector hung(std::chrono::microseconds(0), true);
    PluginPtr plugin = library.Start("memory", dir.Write("memory.json",
        "{ \"delivery\": \"parallel\", \"channels\": { \"hung\": { \"url\": \"" + hung.Url("/hung") + "\" } } }"));

    ReleaseCounter counter;
    const size_t count = offer_bytes / payload_bytes;
    counter.Reset(count);
    struct Free {
        ReleaseCounter *counter;
        void operator()(vxPluginSinkPayload *p) const
        {
            delete p;
            counter->Released();
        }
    };
    // The agent hands over each payload and keeps none; the plug-in keeps
    // what its backlog takes. Paced so the agent's queue stays short.
    const uint64_t held = (64u << 20) / payload_bytes + 1;
    for (size_t i = 0; i < count; i++) {
        std::shared_ptr<vxPluginSinkPayload> p(new vxPluginSinkPayload(payload_bytes,
                                                   MakeBody(payload_bytes, static_cast<unsigned>(i)),
                                                   std::set<std::string>{ "hung" }, BenchFlags()),
            Free{ &counter });
        plugin->QueuePayload(p);
        p.reset();
        const Clock::time_point deadline = Clock::now() + 10s;
        while (i + 1 > held + 8 && counter.Count() + held + 8 < i + 1 && Clock::now() < deadline)
            std::this_thread::sleep_for(100us);
    }
    const Clock::time_point deadline = Clock::now() + 10s;
    while (count > held && counter.Count() + held < count && Clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(200ms);
    const long hwm = ReadMemoryStatus().hwm_kib;
    fprintf(stderr, "  offered %zu MiB: %lu released, peak %ld KiB\n", offer_bytes >> 20,
        static_cast<unsigned long>(counter.Count()), hwm);
    plugin.reset();
    return hwm;
}

long PeakInChild(const std::string &plugin_path, size_t offer_bytes, size_t payload_bytes)
{
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        close(fds[0]);
        long hwm = -1;
        try {
            hwm = PeakWithOffer(plugin_path, offer_bytes, payload_bytes);
        }
        catch (const std::exception &e) {
            fprintf(stderr, "parallel-memory: %s\n", e.what());
        }
        if (write(fds[1], &hwm, sizeof(hwm)) != sizeof(hwm)) _exit(1);
        _exit(0);
    }
    close(fds[1]);
    long hwm = -1;
    if (read(fds[0], &hwm, sizeof(hwm)) != sizeof(hwm)) hwm = -1;
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (hwm < 0) throw std::runtime_error("the measuring process failed");
    return hwm;
}

} // namespace

int MeasureParallelMemory(const Args &args)
{
    // Each run in a process of its own, started before this one has any
    // thread, so neither inherits the other's peak.
    const size_t offer = static_cast<size_t>(args.GetLong("offer-mib", 1024)) << 20;
    const size_t payload = static_cast<size_t>(args.GetLong("payload-kib", 1024)) << 10;
    const std::string plugin_path = args.Get("plugin", VX_PLUGIN_PATH);
    const long idle = PeakInChild(plugin_path, 0, payload);
    const long offered = PeakInChild(plugin_path, offer, payload);
    const double above_mib = static_cast<double>(offered - idle) / 1024.0;
    Emit({ { "measure", "parallel_backlog_memory" }, { "summary", true }, { "offered_mib", offer >> 20 },
        { "payload_bytes", payload }, { "peak_rss_kib_nothing_offered", idle }, { "peak_rss_kib_offered", offered },
        { "above_mib", above_mib }, { "target_above_mib", 96 }, { "met", above_mib <= 96.0 } });
    return 0;
}

int RunParallelCpuWorkload(const Args &args)
{
    const std::string mode = args.Require("mode");
    const std::string url = args.Require("url");
    const size_t count = static_cast<size_t>(args.GetLong("count", 1000));
    const size_t size = static_cast<size_t>(args.GetLong("size", 1024));
    const long in_flight = args.GetLong("in-flight", 8);
    if (mode != "plugin" && mode != "bare") throw std::runtime_error("--mode must be plugin or bare");

    // Both sides load and start the plug-in, so that its start-up is the
    // same in both counts and only the posts differ.
    AgentScope agent;
    TempDir dir;
    PayloadPool pool(size, 64);
    PluginLibrary library(args.Get("plugin", VX_PLUGIN_PATH));
    PluginPtr plugin = library.Start("cpu", dir.Write("cpu.json", ParallelConfigText(url, in_flight)));
    const size_t warm = static_cast<size_t>(in_flight);
    if (mode == "plugin") {
        ReleaseCounter counter;
        TimePluginPosts(*plugin, pool, warm, counter, 600s);
        TimePluginPosts(*plugin, pool, count, counter, 600s);
    }
    else {
        BareMulti bare(url, static_cast<size_t>(in_flight));
        bare.Post(pool, warm);
        bare.Post(pool, count);
    }
    plugin.reset();
    RequireOnly(agent, "parallel-cpu-run");
    return 0;
}

} // namespace vxbench
