#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "loopback_collector.h"
#include "measure_adaptive.h"

namespace vxbench {

namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

void Emit(const json &record) { printf("%s\n", record.dump().c_str()); }

std::string Config(const std::string &url, const std::string &in_flight, const std::string &extra = "")
{
    return "{ \"delivery\": \"parallel\", \"max_in_flight\": " + in_flight + (extra.empty() ? "" : ", " + extra) +
        ", \"channels\": { \"" + bench_channel + "\": { \"url\": \"" + url + "\" } } }";
}

json ChannelStatus(vxPluginSink &plugin)
{
    json status;
    plugin.GetStatus(status);
    return status["channels"][bench_channel];
}

struct RunResult {
    double posts_per_s = 0;
    double median_ms = 0;
};

// One instance with `config` posting `count` payloads of the pool: its rate
// from the first queued to the last released, and the median latency of its
// last posts as its status gives it.
RunResult RunOnce(const PluginLibrary &library, const std::string &config, PayloadPool &pool, size_t count,
    AgentScope &agent)
{
    TempDir dir;
    PluginPtr plugin = library.Start("adaptive", dir.Write("sink.json", config));
    ReleaseCounter counter;
    RunResult r;
    r.posts_per_s = static_cast<double>(count) / TimePluginPosts(*plugin, pool, count, counter, 300s);
    const json latency = ChannelStatus(*plugin)["latency_ms"];
    r.median_ms = latency["median"].is_number() ? latency["median"].get<double>() : -1;
    plugin.reset();
    agent.TakeLog();
    return r;
}

std::vector<long> Sweep(const Args &args, std::vector<long> fallback)
{
    const std::string text = args.Get("sweep", "");
    if (text.empty()) return fallback;
    std::vector<long> values;
    for (size_t at = 0; at < text.size();) {
        const size_t comma = std::min(text.find(',', at), text.size());
        values.push_back(std::stol(text.substr(at, comma - at)));
        at = comma + 1;
    }
    return values;
}

} // namespace

int MeasureAdaptiveQueueing(const Args &args)
{
    const long delay_ms = args.GetLong("delay-ms", 10);
    const long servers = args.GetLong("servers", 16);
    const size_t posts = static_cast<size_t>(args.GetLong("posts", 6000));
    AgentScope agent;
    PluginLibrary library(args.Get("plugin", VX_PLUGIN_PATH));
    LoopbackCollector collector{ std::chrono::milliseconds(delay_ms) };
    collector.SetServers(static_cast<size_t>(servers));
    const std::string url = collector.Url("/ingest");
    PayloadPool pool(1024, 256);

    const RunResult alone = RunOnce(library, Config(url, "1"), pool, 300, agent);
    fprintf(stderr, "  adaptive-queueing alone: median %.2f ms\n", alone.median_ms);
    double best = 0;
    long best_limit = 0;
    for (long limit : Sweep(args, { 8, 12, 16, 20, 24, 32 })) {
        const RunResult r = RunOnce(library, Config(url, std::to_string(limit)), pool, posts, agent);
        Emit({ { "measure", "adaptive_queueing" }, { "max_in_flight", limit }, { "posts_per_s", r.posts_per_s },
            { "median_ms", r.median_ms } });
        fprintf(stderr, "  adaptive-queueing fixed %ld: %.0f/s, median %.2f ms\n", limit, r.posts_per_s, r.median_ms);
        if (r.posts_per_s > best) {
            best = r.posts_per_s;
            best_limit = limit;
        }
    }
    const RunResult automatic = RunOnce(library, Config(url, "\"auto\""), pool, posts, agent);
    fprintf(stderr, "  adaptive-queueing auto: %.0f/s, median %.2f ms\n", automatic.posts_per_s, automatic.median_ms);
    const double ratio = automatic.posts_per_s / best;
    const double latency_ratio = automatic.median_ms / alone.median_ms;
    Emit({ { "measure", "adaptive_queueing" }, { "summary", true }, { "auto_posts_per_s", automatic.posts_per_s },
        { "best_fixed_posts_per_s", best }, { "best_fixed_max_in_flight", best_limit },
        { "auto_median_ms", automatic.median_ms }, { "alone_median_ms", alone.median_ms },
        { "ratio", ratio }, { "latency_ratio", latency_ratio },
        { "targets", { { "ratio", 0.90 }, { "latency_ratio_at_most", 1.5 } } },
        { "met", ratio >= 0.90 && latency_ratio <= 1.5 } });
    return 0;
}

int MeasureAdaptiveRefusing(const Args &args)
{
    const long delay_ms = args.GetLong("delay-ms", 10);
    const long refuse_above = args.GetLong("refuse-above", 8);
    const size_t posts = static_cast<size_t>(args.GetLong("posts", 6000));
    AgentScope agent;
    PluginLibrary library(args.Get("plugin", VX_PLUGIN_PATH));
    PayloadPool pool(1024, 256);
    // The 503s are what a setting costs the collector; past its limit a
    // fixed setting is refused over and over, each refusal freeing the place
    // for the next.
    const std::string retries = "\"retries\": 20, \"retry_backoff_ms\": 10, \"retry_backoff_max_ms\": 100";

    struct Outcome {
        double successes_per_s;
        double refused_share;
    };
    auto run = [&](const std::string &in_flight) {
        LoopbackCollector collector{ std::chrono::milliseconds(delay_ms) };
        collector.SetRefuseAbove(static_cast<size_t>(refuse_above));
        const RunResult r = RunOnce(library, Config(collector.Url("/ingest"), in_flight, retries), pool, posts, agent);
        const double refused = static_cast<double>(collector.Failed());
        const double answered = static_cast<double>(collector.Answered());
        // A payload that ran out of tries ends the run as well: successes
        // are what the collector answered 200, over the run's time.
        const double seconds = static_cast<double>(posts) / r.posts_per_s;
        return Outcome{ answered / seconds, refused / (refused + answered) };
    };
    double best = 0;
    long best_limit = 0;
    for (long limit : Sweep(args, { 4, 6, 8, 10, 12 })) {
        const Outcome o = run(std::to_string(limit));
        Emit({ { "measure", "adaptive_refusing" }, { "max_in_flight", limit }, { "successes_per_s", o.successes_per_s },
            { "refused_share", o.refused_share } });
        fprintf(stderr, "  adaptive-refusing fixed %ld: %.0f/s, %.2f%% 503\n", limit, o.successes_per_s,
            100 * o.refused_share);
        if (o.successes_per_s > best) {
            best = o.successes_per_s;
            best_limit = limit;
        }
    }
    const Outcome automatic = run("\"auto\"");
    fprintf(stderr, "  adaptive-refusing auto: %.0f/s, %.2f%% 503\n", automatic.successes_per_s,
        100 * automatic.refused_share);
    const double ratio = automatic.successes_per_s / best;
    Emit({ { "measure", "adaptive_refusing" }, { "summary", true }, { "auto_successes_per_s", automatic.successes_per_s },
        { "best_fixed_successes_per_s", best }, { "best_fixed_max_in_flight", best_limit },
        { "auto_refused_share", automatic.refused_share }, { "ratio", ratio },
        { "targets", { { "ratio", 0.85 }, { "refused_share_below", 0.02 } } },
        { "met", ratio >= 0.85 && automatic.refused_share < 0.02 } });
    return 0;
}

int MeasureAdaptiveRampUp(const Args &args)
{
    const long delay_ms = args.GetLong("delay-ms", 10);
    const uint64_t target = static_cast<uint64_t>(args.GetLong("target", 32));
    AgentScope agent;
    PluginLibrary library(args.Get("plugin", VX_PLUGIN_PATH));
    LoopbackCollector collector{ std::chrono::milliseconds(delay_ms) };
    PayloadPool pool(1024, 256);
    TempDir dir;
    PluginPtr plugin = library.Start("adaptive", dir.Write("sink.json", Config(collector.Url("/ingest"), "\"auto\"")));
    // Loaded before the clock starts.
    for (int i = 0; i < 1000 && !ChannelStatus(*plugin).is_object(); i++) std::this_thread::sleep_for(2ms);
    for (int i = 0; i < 1000 && !ChannelStatus(*plugin).contains("max_in_flight"); i++)
        std::this_thread::sleep_for(2ms);

    ReleaseCounter counter;
    const size_t count = 20000;
    counter.Reset(count);
    const Clock::time_point start = Clock::now();
    for (size_t i = 0; i < count; i++) {
        std::shared_ptr<vxPluginSinkPayload> p(pool.Mutable(i), CountRelease{ &counter });
        plugin->QueuePayload(p);
    }
    double reached = -1;
    uint64_t highest = 0;
    while (SecondsSince(start) < 10) {
        const json figures = ChannelStatus(*plugin);
        const uint64_t in_flight = figures.value("in_flight", uint64_t{ 0 });
        highest = std::max(highest, in_flight);
        if (in_flight >= target) {
            reached = SecondsSince(start);
            break;
        }
        std::this_thread::sleep_for(1ms);
    }
    fprintf(stderr, "  adaptive-ramp-up: %llu in flight after %.3f s\n", static_cast<unsigned long long>(highest),
        reached);
    Emit({ { "measure", "adaptive_ramp_up" }, { "summary", true }, { "target_in_flight", target },
        { "seconds", reached < 0 ? json() : json(reached) }, { "highest_in_flight", highest },
        { "targets", { { "seconds_at_most", 2.0 } } }, { "met", reached >= 0 && reached <= 2.0 } });
    counter.Wait(120s);
    plugin.reset();
    return 0;
}

int MeasureFallbackOutage(const Args &args)
{
    const long backoff_ms = args.GetLong("backoff-ms", 200);
    const long rate = args.GetLong("rate", 2000);
    const long seconds = args.GetLong("seconds", 4);
    AgentScope agent;
    PluginLibrary library(args.Get("plugin", VX_PLUGIN_PATH));
    LoopbackCollector first(1ms);
    LoopbackCollector second(1ms);
    TempDir dir;
    const std::string config = "{ \"delivery\": \"parallel\", \"max_in_flight\": 8, \"retries\": 10, "
                               "\"retry_backoff_ms\": " + std::to_string(backoff_ms) +
        ", \"retry_backoff_max_ms\": " + std::to_string(backoff_ms) + ", \"channels\": { \"" + bench_channel +
        "\": { \"url\": \"" + first.Url("/ingest") + "\", \"fallback_urls\": [\"" + second.Url("/ingest") + "\"] } } }";
    PluginPtr plugin = library.Start("fallback", dir.Write("sink.json", config));

    const uint64_t count = static_cast<uint64_t>(rate * seconds);
    std::vector<std::string> bodies;
    ReleaseCounter counter;
    counter.Reset(count);
    // Fed at a steady rate from here; the collectors are watched for the
    // longest time without a delivery.
    std::atomic<bool> fed{ false };
    std::thread feeder([&] {
        const Clock::time_point start = Clock::now();
        for (uint64_t i = 0; i < count; i++) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(i * 1000000 / rate));
            std::string text = "seq=" + std::to_string(i) + "\n";
            text.resize(256, 'x');
            auto payload = std::make_shared<vxPluginSinkPayload>(text.size(),
                reinterpret_cast<const uint8_t *>(text.data()), std::set<std::string>{ bench_channel }, BenchFlags());
            plugin->QueuePayload(payload);
        }
        fed = true;
    });
    double longest_gap = 0;
    Clock::time_point last_delivery = Clock::now();
    uint64_t last_total = 0;
    const Clock::time_point start = Clock::now();
    bool killed = false;
    while (!fed.load() || last_total < count) {
        if (SecondsSince(start) > seconds + 30.0) break;
        if (!killed && SecondsSince(start) >= seconds / 2.0) {
            first.Kill();
            killed = true;
        }
        const uint64_t total = first.Answered() + second.Answered();
        const Clock::time_point now = Clock::now();
        if (total != last_total) {
            // Only gaps while posts were due count: the stream is steady.
            if (last_total > 0) longest_gap = std::max(longest_gap, std::chrono::duration<double>(now - last_delivery).count());
            last_total = total;
            last_delivery = now;
        }
        std::this_thread::sleep_for(200us);
    }
    feeder.join();
    const auto first_accepted = first.Accepted();
    const auto accepted = second.Accepted();
    uint64_t once = 0, doubled = 0, missing = 0;
    for (uint64_t id = 0; id < count; id++) {
        uint32_t n = 0;
        if (auto it = first_accepted.find(id); it != first_accepted.end()) n += it->second;
        if (auto it = accepted.find(id); it != accepted.end()) n += it->second;
        if (n == 0) missing++;
        else if (n == 1) once++;
        else doubled++;
    }
    plugin.reset();
    agent.TakeLog();
    const double backoff = static_cast<double>(backoff_ms) / 1000.0;
    fprintf(stderr, "  fallback-outage: longest gap %.1f ms (back-off %ld ms); %llu once, %llu doubled, %llu missing\n",
        longest_gap * 1000, backoff_ms, static_cast<unsigned long long>(once),
        static_cast<unsigned long long>(doubled), static_cast<unsigned long long>(missing));
    Emit({ { "measure", "fallback_outage" }, { "summary", true }, { "posts", count },
        { "longest_gap_ms", longest_gap * 1000 }, { "backoff_ms", backoff_ms }, { "once", once },
        { "doubled", doubled }, { "missing", missing },
        { "targets", { { "gap_at_most_backoff", true }, { "every_payload_once", true } } },
        { "met", longest_gap <= backoff && once == count } });
    return 0;
}

} // namespace vxbench
