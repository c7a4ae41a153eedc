#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "loopback_collector.h"
#include "measure_drain.h"

namespace vxbench {

namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

std::shared_ptr<vxPluginSinkPayload> Numbered(uint64_t id, size_t size, const std::set<std::string> &channels)
{
    std::string text = "seq=" + std::to_string(id) + "\n";
    text.resize(std::max(size, text.size()), 'x');
    return std::make_shared<vxPluginSinkPayload>(text.size(), reinterpret_cast<const uint8_t *>(text.data()),
        channels, BenchFlags());
}

size_t FileCount(const std::filesystem::path &dir)
{
    size_t n = 0;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        if (e.path().extension() == ".spool") n++;
    return n;
}

} // namespace

int MeasureDrainOutage(const Args &args)
{
    const double rate = args.GetDouble("rate", 2000);
    const double outage_s = args.GetDouble("outage-s", 60);
    const double around_s = args.GetDouble("around-s", std::max(3.0, outage_s / 4));
    const size_t size = static_cast<size_t>(args.GetLong("size", 512));
    const long in_flight = args.GetLong("in-flight", 4);

    AgentScope agent;
    TempDir dir;
    const std::filesystem::path down_spool = dir.Path() / "down";
    const std::filesystem::path ok_spool = dir.Path() / "ok";
    PluginLibrary library(args.Get("plugin", VX_PLUGIN_PATH));
    LoopbackCollector down{ std::chrono::microseconds(0) };
    LoopbackCollector healthy{ std::chrono::microseconds(0) };
    // Both channels spool, so that the restart loses nothing of either.
    auto channel = [&](const char *name, const std::string &url, const std::filesystem::path &spool) {
        return std::string("\"") + name + "\": { \"url\": \"" + url + "\", \"max_in_flight\": " +
            std::to_string(in_flight) + ", \"retries\": 2, \"retry_backoff_ms\": 100, " +
            "\"retry_backoff_max_ms\": 1000, \"spool_dir\": \"" + spool.string() + "\" }";
    };
    const std::string config = dir.Write("drain.json", "{ \"delivery\": \"parallel\", \"channels\": { " +
        channel("down", down.Url("/d"), down_spool) + ", " + channel("ok", healthy.Url("/o"), ok_spool) + " } }");
    PluginPtr plugin = library.Start("drain", config);

    uint64_t queued = 0;
    const Clock::time_point start = Clock::now();
    uint64_t ok_at_outage = 0, ok_at_recovery = 0;
    const uint64_t ok_at_start = healthy.Answered();
    bool in_outage = false, restarted = false, recovered = false;
    long rss_before_kib = 0, rss_outage_kib = 0;
    double restart_ms = 0;
    size_t files_at_recovery = 0;
    Clock::time_point outage_time, recovery_time, next_sample = start;
    // A stop during the outage writes what waits for the disk first, and
    // may take a while: the phases after it start late rather than short.
    while (!recovered || SecondsSince(recovery_time) < around_s) {
        const double t = SecondsSince(start);
        if (!in_outage && t >= around_s) {
            in_outage = true;
            ok_at_outage = healthy.Answered();
            outage_time = Clock::now();
            down.SetDown(true);
        }
        if (in_outage && !restarted && t >= around_s + outage_s / 2) {
            // The host restarts: a stop spools what waits, a new instance
            // starts on the same folders.
            restarted = true;
            const Clock::time_point before = Clock::now();
            plugin.reset();
            plugin = library.Start("drain", config);
            restart_ms = SecondsSince(before) * 1000;
        }
        if (!recovered && t >= around_s + outage_s) {
            recovered = true;
            ok_at_recovery = healthy.Answered();
            files_at_recovery = FileCount(down_spool);
            recovery_time = Clock::now();
            down.SetDown(false);
        }
        if (Clock::now() >= next_sample) {
            next_sample += 100ms;
            const long rss = ReadMemoryStatus().rss_kib;
            if (!in_outage)
                rss_before_kib = std::max(rss_before_kib, rss);
            else if (!recovered)
                rss_outage_kib = std::max(rss_outage_kib, rss);
        }
        const uint64_t due = static_cast<uint64_t>(t * rate);
        while (queued < due) plugin->QueuePayload(Numbered(queued++, size, { "down", "ok" }));
        std::this_thread::sleep_for(1ms);
    }
    // The drain runs on after the stream; it is done once the folder is empty.
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(static_cast<long>(outage_s * 4 + 60));
    while (FileCount(down_spool) > 0 && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
    const double drain_s = SecondsSince(recovery_time);
    down.WaitAnswered(1, 1s);
    healthy.WaitAnswered(queued, 30s);
    std::this_thread::sleep_for(500ms);
    plugin.reset();
    const std::vector<std::string> lines = agent.TakeLog();
    // The plug-in's own lines (down, up, spool episodes) show what happened.
    for (size_t i = 0; i < lines.size() && i < 40; i++) fprintf(stderr, "  | %s", lines[i].c_str());

    const double before_rate = static_cast<double>(ok_at_outage - ok_at_start) / around_s;
    const double during_rate =
        static_cast<double>(ok_at_recovery - ok_at_outage) / std::chrono::duration<double>(recovery_time - outage_time).count();
    const double drain_rate = static_cast<double>(files_at_recovery) / drain_s;
    const IdTally t = down.Tally(queued);
    const IdTally h = healthy.Tally(queued);
    const double drain_ratio = drain_rate / rate;
    const double healthy_ratio = during_rate / before_rate;
    const double rss_above_mib = static_cast<double>(rss_outage_kib - rss_before_kib) / 1024.0;
    // A payload in flight at the restart may arrive twice; no other.
    const bool once = t.missing == 0 && h.missing == 0 && t.duplicated + h.duplicated <= 2 * static_cast<uint64_t>(in_flight);
    printf("%s\n",
        json({ { "measure", "drain_outage_restart" }, { "summary", true }, { "posts", queued }, { "rate", rate },
            { "outage_s", outage_s }, { "restart_ms", restart_ms }, { "files_at_recovery", files_at_recovery },
            { "drain_s", drain_s }, { "drain_posts_per_s", drain_rate }, { "drain_ratio", drain_ratio },
            { "target_drain_ratio", 0.8 }, { "down_once", t.once }, { "down_duplicated", t.duplicated },
            { "down_missing", t.missing }, { "healthy_once", h.once }, { "healthy_duplicated", h.duplicated },
            { "healthy_missing", h.missing }, { "healthy_posts_per_s_before", before_rate },
            { "healthy_posts_per_s_during", during_rate }, { "healthy_ratio", healthy_ratio },
            { "target_healthy_ratio", 0.95 }, { "rss_before_kib", rss_before_kib },
            { "rss_outage_kib", rss_outage_kib }, { "rss_above_mib", rss_above_mib }, { "target_rss_above_mib", 32 },
            { "log_lines", lines.size() }, { "every_payload_once", once },
            { "met", once && drain_ratio >= 0.8 && healthy_ratio >= 0.95 && rss_above_mib <= 32 } })
            .dump()
            .c_str());
    fprintf(stderr,
        "  drain: %llu posts, %zu files at recovery drained in %.1f s (%.0f/s, %.2f of the live rate); "
        "down once %llu dup %llu missing %llu; healthy %.0f/s before, %.0f/s during; RSS +%.1f MiB\n",
        static_cast<unsigned long long>(queued), files_at_recovery, drain_s, drain_rate, drain_ratio,
        static_cast<unsigned long long>(t.once), static_cast<unsigned long long>(t.duplicated),
        static_cast<unsigned long long>(t.missing), before_rate, during_rate, rss_above_mib);
    return 0;
}

} // namespace vxbench
