#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "loopback_collector.h"
#include "measure_retry.h"

namespace vxbench {

namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

void Emit(const json &record) { printf("%s\n", record.dump().c_str()); }

// A body that names its payload, padded to `size` bytes.
std::shared_ptr<vxPluginSinkPayload> Numbered(uint64_t id, size_t size, const std::set<std::string> &channels)
{
    std::string text = "seq=" + std::to_string(id) + "\n";
    text.resize(std::max(size, text.size()), 'x');
    return std::make_shared<vxPluginSinkPayload>(text.size(), reinterpret_cast<const uint8_t *>(text.data()),
        channels, BenchFlags());
}

// The numbers of the payloads a spool folder holds: each file's body (after
// its first line of JSON) starts with the payload's "seq=" line.
std::multiset<uint64_t> SpooledIds(const std::filesystem::path &spool)
{
    std::multiset<uint64_t> ids;
    for (const auto &entry : std::filesystem::directory_iterator(spool)) {
        if (entry.path().filename().string().starts_with(".")) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::string meta, first;
        if (std::getline(in, meta) && std::getline(in, first) && first.starts_with("seq="))
            ids.insert(std::stoull(first.substr(4)));
    }
    return ids;
}

size_t CountLines(const std::vector<std::string> &lines, const char *needle)
{
    size_t n = 0;
    for (const auto &l : lines) n += l.find(needle) != std::string::npos;
    return n;
}

} // namespace

int MeasureRetryFlaky(const Args &args)
{
    const uint64_t count = static_cast<uint64_t>(args.GetLong("posts", 100000));
    const double share = args.GetDouble("fail-share", 0.2);
    const long retries = args.GetLong("retries", 5);
    const long in_flight = args.GetLong("in-flight", 8);
    const size_t size = 256;

    AgentScope agent;
    TempDir dir;
    PluginLibrary library(args.Get("plugin", VX_PLUGIN_PATH));

    auto run = [&](bool flaky) {
        LoopbackCollector collector{ std::chrono::microseconds(0) };
        if (flaky) collector.FailShare(share);
        const std::string name = flaky ? "flaky" : "clean";
        // A payload refused six times in a row (0.2^6 of them, about six in
        // 100,000) is given up: the spool keeps it and drains it, so none is
        // lost.
        const std::filesystem::path spool = dir.Path() / (name + "-spool");
        std::filesystem::create_directory(spool);
        PluginPtr plugin = library.Start(name, dir.Write(name + ".json",
            "{ \"delivery\": \"parallel\", \"channels\": { \"c\": { \"url\": \"" + collector.Url("/c") +
                "\", \"max_in_flight\": " + std::to_string(in_flight) + ", \"retries\": " + std::to_string(retries) +
                ", \"retry_backoff_ms\": 1, \"retry_backoff_max_ms\": 50, \"max_backlog_bytes\": 1073741824, " +
                "\"spool_dir\": \"" + spool.string() + "\" } } }"));
        const Clock::time_point start = Clock::now();
        for (uint64_t i = 0; i < count; i++) plugin->QueuePayload(Numbered(i, size, { "c" }));
        // Done when every payload is answered 200: one given up goes to the
        // spool, which sends it again by itself.
        const Clock::time_point deadline = start + 600s;
        auto log = std::make_shared<std::vector<std::string>>();
        uint64_t given_up = 0;
        while (collector.Answered() < count && Clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
            for (auto &line : agent.TakeLog()) {
                if (line.find("giving up") != std::string::npos) given_up++;
                log->push_back(std::move(line));
            }
        }
        const double seconds = SecondsSince(start);
        // The last drained file goes once its post's answer is in.
        const Clock::time_point settle = Clock::now() + 10s;
        while (!SpooledIds(spool).empty() && Clock::now() < settle) std::this_thread::sleep_for(10ms);
        plugin.reset();
        const IdTally t = collector.Tally(count);
        // Kept rather than delivered: spooled once and never accepted.
        const std::multiset<uint64_t> spooled = SpooledIds(spool);
        const auto accepted = collector.Accepted();
        uint64_t kept = 0;
        bool kept_once = true;
        for (uint64_t id : spooled) {
            if (spooled.count(id) == 1 && accepted.find(id) == accepted.end()) kept++;
            else kept_once = false;
        }
        json r = { { "measure", "retry_flaky_collector" }, { "run", name }, { "posts", count },
            { "fail_share", flaky ? share : 0.0 }, { "retries", retries }, { "max_in_flight", in_flight },
            { "posts_per_s", static_cast<double>(count) / seconds }, { "answered_503", collector.Failed() },
            { "delivered_once", t.once }, { "duplicated", t.duplicated }, { "missing", t.missing },
            { "given_up", given_up }, { "spooled", spooled.size() }, { "connections", collector.Connections() },
            { "each_once", kept_once && t.duplicated == 0 && t.once + kept == count } };
        Emit(r);
        fprintf(stderr, "  %s: %.0f posts/s, %llu 503s, once %llu, twice+ %llu, missing %llu, given up %llu, spooled %zu\n",
            name.c_str(), r["posts_per_s"].get<double>(), static_cast<unsigned long long>(collector.Failed()),
            static_cast<unsigned long long>(t.once), static_cast<unsigned long long>(t.duplicated),
            static_cast<unsigned long long>(t.missing), static_cast<unsigned long long>(given_up), spooled.size());
        return r;
    };
    const json clean = run(false);
    const json flaky = run(true);
    const double ratio = flaky["posts_per_s"].get<double>() / clean["posts_per_s"].get<double>();
    // Every payload reached the collector once, or (given up) the spool once.
    const bool once = flaky["each_once"].get<bool>();
    Emit({ { "measure", "retry_flaky_collector" }, { "summary", true }, { "posts", count }, { "ratio", ratio },
        { "target_ratio", 0.75 }, { "every_payload_once", once }, { "met", ratio >= 0.75 && once } });
    return 0;
}

int MeasureRetryOutage(const Args &args)
{
    const double rate = args.GetDouble("rate", 2000);
    const double outage_s = args.GetDouble("outage-s", 30);
    const double around_s = args.GetDouble("around-s", std::max(2.0, outage_s / 3));
    const std::string vxsink = args.Get("vxsink", VX_VXSINK_PATH);
    const size_t size = 512;

    AgentScope agent;
    TempDir dir;
    const std::filesystem::path spool = dir.Path() / "spool";
    std::filesystem::create_directory(spool);
    PluginLibrary library(args.Get("plugin", VX_PLUGIN_PATH));
    LoopbackCollector down{ std::chrono::microseconds(0) };
    LoopbackCollector healthy{ std::chrono::microseconds(0) };
    const std::string channels = "\"down\": { \"url\": \"" + down.Url("/d") + "\", \"max_in_flight\": 4, " +
        "\"retries\": 2, \"retry_backoff_ms\": 1, \"retry_backoff_max_ms\": 20, \"spool_drain\": false, \"spool_dir\": \"" +
        spool.string() + "\" }, \"ok\": { \"url\": \"" + healthy.Url("/o") + "\", \"max_in_flight\": 4 }";
    const std::string config = dir.Write("outage.json", "{ \"delivery\": \"parallel\", \"channels\": { " + channels + " } }");
    PluginPtr plugin = library.Start("outage", config);

    // The stream: payloads queued at a steady pace; phases before, during
    // and after the outage.
    uint64_t queued = 0;
    const Clock::time_point start = Clock::now();
    const double total_s = around_s + outage_s + around_s;
    uint64_t ok_at_outage = 0, ok_at_recovery = 0, ok_at_start = healthy.Answered();
    bool in_outage = false, recovered = false;
    while (SecondsSince(start) < total_s) {
        const double t = SecondsSince(start);
        if (!in_outage && t >= around_s) {
            in_outage = true;
            ok_at_outage = healthy.Answered();
            down.SetDown(true);
        }
        if (!recovered && t >= around_s + outage_s) {
            recovered = true;
            ok_at_recovery = healthy.Answered();
            down.SetDown(false);
        }
        const uint64_t due = static_cast<uint64_t>(t * rate);
        while (queued < due) plugin->QueuePayload(Numbered(queued++, size, { "down", "ok" }));
        std::this_thread::sleep_for(1ms);
    }
    // Let the tail drain, then stop: what still waits is spooled.
    healthy.WaitAnswered(queued, 30s);
    down.WaitAnswered(1, 1s);
    std::this_thread::sleep_for(500ms);
    plugin.reset();
    const std::vector<std::string> lines = agent.TakeLog();
    const size_t spooled = static_cast<size_t>(std::distance(std::filesystem::directory_iterator(spool), {}));

    const double before_rate = static_cast<double>(ok_at_outage - ok_at_start) / around_s;
    const double during_rate = static_cast<double>(ok_at_recovery - ok_at_outage) / outage_s;

    // The replay, as an operator would run it.
    const Clock::time_point replay_start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        execl(vxsink.c_str(), vxsink.c_str(), "--replay", spool.c_str(), "--plugin",
            args.Get("plugin", VX_PLUGIN_PATH).c_str(), "--config", config.c_str(), "--tag", "replay",
            static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const double replay_s = SecondsSince(replay_start);
    const IdTally t = down.Tally(queued);
    const IdTally h = healthy.Tally(queued);
    const double ratio = during_rate / before_rate;
    const bool once = t.once == queued && h.once == queued;
    Emit({ { "measure", "retry_outage_spool" }, { "summary", true }, { "posts", queued }, { "rate", rate },
        { "outage_s", outage_s }, { "spooled_files", spooled }, { "giving_up_lines", CountLines(lines, "giving up") },
        { "spool_lines", CountLines(lines, "spool") }, { "replay_s", replay_s },
        { "replay_exit", WIFEXITED(status) ? WEXITSTATUS(status) : -1 }, { "down_once", t.once },
        { "down_duplicated", t.duplicated }, { "down_missing", t.missing }, { "healthy_once", h.once },
        { "healthy_posts_per_s_before", before_rate }, { "healthy_posts_per_s_during", during_rate },
        { "ratio", ratio }, { "target_ratio", 0.95 }, { "every_payload_once", once },
        { "met", once && ratio >= 0.95 } });
    fprintf(stderr, "  outage: %llu posts, %zu spooled, replay %.1f s; down once %llu dup %llu missing %llu; healthy %.0f/s before, %.0f/s during\n",
        static_cast<unsigned long long>(queued), spooled, replay_s, static_cast<unsigned long long>(t.once),
        static_cast<unsigned long long>(t.duplicated), static_cast<unsigned long long>(t.missing), before_rate,
        during_rate);
    return 0;
}

} // namespace vxbench
