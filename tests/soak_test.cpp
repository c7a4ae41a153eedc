// A long run under a reload storm: every payload must reach every defined
// channel it names exactly once, reloads must never disturb delivery, and
// the process must not grow once warmed up.
//
// VX_SOAK_PAYLOADS sets the number of payloads (for example 1000000 for a
// long run); the default is smaller under sanitizers, which slow every post.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "loopback_server.h"
#include "running_plugin.h"
#include "test_support.h"
#include "vxlog.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VX_SOAK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VX_SOAK_SANITIZED 1
#endif
#endif
#ifndef VX_SOAK_SANITIZED
#define VX_SOAK_SANITIZED 0
#endif

using namespace std::chrono_literals;

namespace {

constexpr size_t kChannels = 3;
const char *const kChannelNames[kChannels] = { "a", "b", "c" };
// Payloads queued between two rewrites of the file (each followed by a
// reload event).
constexpr size_t kRewriteEvery = 1000;
// Payloads queued at once; at most two such batches are in flight.
constexpr size_t kBatch = 500;

size_t SoakPayloads()
{
    if (const char *text = std::getenv("VX_SOAK_PAYLOADS")) {
        char *end = nullptr;
        unsigned long long n = std::strtoull(text, &end, 10);
        if (end != text && *end == '\0' && n > 0) return static_cast<size_t>(n);
    }
    return VX_SOAK_SANITIZED ? 20000 : 100000;
}

// Payload `seq` names a non-empty subset of the channels, cycling through
// all seven, and every fifth one also names a channel nobody defined.
unsigned ChannelMask(size_t seq) { return static_cast<unsigned>(seq % 7) + 1; }
bool NamesUndefined(size_t seq) { return seq % 5 == 0; }

size_t PostsFor(size_t seq) { return static_cast<size_t>(__builtin_popcount(ChannelMask(seq))); }

long ResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// What the server received: per channel, how often each sequence number
// arrived, and the configuration round each request's header carried.
class Ledger
{
public:
    Ledger(size_t payloads, size_t rounds) : rounds_seen(rounds + 1, false)
    {
        for (auto &c : seen) c.assign(payloads, 0);
    }

    void Record(size_t channel, const httplib::Request &req)
    {
        size_t at = req.body.find("\"seq\":");
        unsigned long long seq = (at == std::string::npos) ? ~0ull
                                                           : std::strtoull(req.body.c_str() + at + 6, nullptr, 10);
        unsigned long round = std::strtoul(req.get_header_value("X-Soak-Round").c_str(), nullptr, 10);
        {
            std::lock_guard<std::mutex> guard(lock);
            if (seq >= seen[channel].size())
                malformed++;
            else if (seen[channel][seq] < 255)
                seen[channel][seq]++;
            if (!req.has_header("X-Soak-Round") || round < last_round) round_out_of_order++;
            if (round > last_round) last_round = round;
            if (round < rounds_seen.size()) rounds_seen[round] = true;
            received[channel]++;
            total++;
        }
        cond.notify_all();
    }

    bool WaitForTotal(uint64_t count, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> guard(lock);
        return cond.wait_for(guard, timeout, [&] { return total >= count; });
    }

    uint64_t Total()
    {
        std::lock_guard<std::mutex> guard(lock);
        return total;
    }

    std::mutex lock;
    std::condition_variable cond;
    std::vector<uint8_t> seen[kChannels];
    uint64_t received[kChannels] = {};
    uint64_t total = 0;
    uint64_t malformed = 0;
    uint64_t round_out_of_order = 0;
    unsigned long last_round = 0;
    std::vector<bool> rounds_seen;
};

// Counts the lines the storm produces instead of keeping them, so the log
// itself does not grow the process; keeps the first few others.
class CountingLog
{
public:
    CountingLog() : saved_debug(vx_log_debug_enabled())
    {
        vx_log_set_debug(true);
        vx_log_set_sink([this](const std::string &text) {
            if (text.find(": Loading configuration: ") != std::string::npos)
                loads++;
            else if (text.find(": channel not defined: ") != std::string::npos)
                undefined++;
            else if (others.size() < 50)
                others.push_back(text);
        });
    }
    ~CountingLog()
    {
        vx_log_set_sink(nullptr);
        vx_log_set_debug(saved_debug);
    }
    CountingLog(const CountingLog &) = delete;
    CountingLog &operator=(const CountingLog &) = delete;

    // Written under the log's own lock; read once the plug-in has stopped.
    uint64_t loads = 0;
    uint64_t undefined = 0;
    std::vector<std::string> others;

private:
    bool saved_debug;
};

std::string SoakConfig(const vxtest::HttpServer &server, unsigned round)
{
    std::ostringstream out;
    out << "// round " << round << "\n{ \"timeout_transfer\": 30, \"channels\": {";
    for (size_t c = 0; c < kChannels; c++) {
        out << (c ? ", " : " ") << '"' << kChannelNames[c] << "\": { \"url\": \""
            << server.Url(std::string("/") + kChannelNames[c])
            << "\", \"headers\": { \"X-Soak-Round\": \"" << round << "\" } }";
    }
    out << " } }\n";
    return out.str();
}

TEST(Soak, EveryPayloadOnceUnderReloadStormWithFlatMemory)
{
    ASSERT_NO_THROW(vxtest::BuiltPlugin());
    const size_t payloads = SoakPayloads();
    const size_t warm_mark = payloads / 5;

    auto started = std::chrono::steady_clock::now();
    const long rss_start = ResidentKiB();

    // Round 1 is the first file; each rewrite starts the next.
    const unsigned rounds = static_cast<unsigned>((payloads - 1) / kRewriteEvery + 1);
    Ledger ledger(payloads, rounds);
    vxtest::HttpServer server;
    for (size_t c = 0; c < kChannels; c++) {
        server.Server().Post(std::string("/") + kChannelNames[c],
            [&ledger, c](const httplib::Request &req, httplib::Response &res) {
                ledger.Record(c, req);
                res.status = 200;
            });
    }
    server.Start();

    CountingLog log;
    vxtest::GlobalConfigScope global;
    unsigned round = 1;
    vxtest::RunningPlugin plugin(SoakConfig(server, round), "soak");
    plugin.Start();

    std::atomic<bool> queueing_done{ false };
    uint64_t storm_events = 0;
    std::thread storm([&] {
        while (!queueing_done.load()) {
            plugin.Reload();
            storm_events++;
            std::this_thread::yield();
        }
    });

    uint64_t posts_queued = 0;
    std::weak_ptr<vxPluginSinkPayload> last_payload;
    uint64_t posts_before_last_batch = 0;
    size_t explicit_reloads = 0;
    long rss_warm = -1;
    bool stalled = false;
    for (size_t seq = 0; seq < payloads && !stalled; seq++) {
        if (seq % kBatch == 0) {
            // Let the previous batch finish before adding another, so the
            // queue holds at most two batches.
            if (!ledger.WaitForTotal(posts_before_last_batch, 60s)) {
                stalled = true;
                break;
            }
            posts_before_last_batch = posts_queued;
        }
        if (seq == warm_mark) {
            if (!ledger.WaitForTotal(posts_queued, 60s)) {
                stalled = true;
                break;
            }
            rss_warm = ResidentKiB();
        }
        if (seq > 0 && seq % kRewriteEvery == 0) {
            plugin.WriteConfig(SoakConfig(server, ++round));
            plugin.Reload();
            explicit_reloads++;
        }
        std::set<std::string> names;
        for (size_t c = 0; c < kChannels; c++)
            if (ChannelMask(seq) & (1u << c)) names.insert(kChannelNames[c]);
        if (NamesUndefined(seq)) names.insert("undefined");
        last_payload = plugin.Queue("{\"seq\":" + std::to_string(seq) + ",\"kind\":\"flow\",\"pad\":\"" +
                std::string(64, 'p') + "\"}",
            names);
        posts_queued += PostsFor(seq);
    }
    // The server counts a post as its request arrives, before the answer is
    // back; the plug-in lets the last payload go only once its posts are
    // over, so the stop below cuts none of them.
    const bool drained = !stalled && ledger.WaitForTotal(posts_queued, 60s) &&
        vxtest::WaitUntil([&] { return last_payload.expired(); }, 60s);
    queueing_done = true;
    storm.join();
    const long rss_end = ResidentKiB();
    auto took = plugin.Terminate();
    plugin.Delete();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    // Nothing more can arrive: the plug-in is gone.
    std::lock_guard<std::mutex> guard(ledger.lock);
    uint64_t expected[kChannels] = {}, missing[kChannels] = {}, duplicated[kChannels] = {},
             unexpected[kChannels] = {};
    for (size_t seq = 0; seq < payloads; seq++) {
        for (size_t c = 0; c < kChannels; c++) {
            bool wanted = (ChannelMask(seq) & (1u << c)) != 0;
            uint8_t n = ledger.seen[c][seq];
            if (wanted) {
                expected[c]++;
                if (n == 0) missing[c]++;
                if (n > 1) duplicated[c]++;
            }
            else if (n != 0)
                unexpected[c]++;
        }
    }

    std::ostringstream figures;
    figures << "soak: " << payloads << " payloads, " << posts_queued << " posts in " << seconds << " s";
    for (size_t c = 0; c < kChannels; c++) {
        figures << "; " << kChannelNames[c] << ": " << ledger.received[c] << "/" << expected[c];
        RecordProperty(std::string("received_") + kChannelNames[c], static_cast<int>(ledger.received[c]));
    }
    figures << "; reloads done " << log.loads << " (" << explicit_reloads << " with a new file, "
            << storm_events << " storm events); undefined-channel lines " << log.undefined
            << "; RSS KiB start " << rss_start << ", warm " << rss_warm << ", end " << rss_end
            << "; stop " << took.count() << " ms";
    std::cout << figures.str() << std::endl;
    RecordProperty("payloads", static_cast<int>(payloads));
    RecordProperty("reloads", static_cast<int>(log.loads));
    RecordProperty("rss_warm_kib", static_cast<int>(rss_warm));
    RecordProperty("rss_end_kib", static_cast<int>(rss_end));

    ASSERT_TRUE(drained) << "delivery stalled at " << ledger.total << " of " << posts_queued << " posts\n"
                         << figures.str();
    for (size_t c = 0; c < kChannels; c++) {
        SCOPED_TRACE(kChannelNames[c]);
        EXPECT_EQ(ledger.received[c], expected[c]);
        EXPECT_EQ(missing[c], 0u);
        EXPECT_EQ(duplicated[c], 0u);
        EXPECT_EQ(unexpected[c], 0u);
    }
    EXPECT_EQ(ledger.malformed, 0u);
    // Header lists rebuilt after every reload carried the file in force,
    // never an older one, and every file was in force for some posts: the
    // steady stream never held a reload off.
    EXPECT_EQ(ledger.round_out_of_order, 0u);
    EXPECT_EQ(round, rounds);
    EXPECT_EQ(ledger.last_round, round);
    size_t rounds_delivered = 0;
    for (unsigned r = 1; r <= rounds; r++) rounds_delivered += ledger.rounds_seen[r] ? 1 : 0;
    EXPECT_EQ(rounds_delivered, rounds);
    EXPECT_EQ(log.undefined, (payloads + 4) / 5);
    EXPECT_GT(log.loads, explicit_reloads / 2);

    // Only the start and stop lines: no failed post, no failed load.
    ASSERT_EQ(log.others.size(), 3u) << testing::PrintToString(log.others);
    EXPECT_EQ(log.others[0], "soak: initialized\n");
    EXPECT_EQ(log.others[1].rfind("soak: Vornix Agent HTTP Sink Plugin v1.2.5", 0), 0u) << log.others[1];
    EXPECT_EQ(log.others[2], "soak: destroyed\n");

#if !VX_SOAK_SANITIZED
    // Flat once warm: allocator noise only. Sanitizers keep freed memory in
    // quarantine and shadow, so their figures are reported, not judged.
    EXPECT_LE(rss_end - rss_warm, 8 * 1024 + rss_warm / 20) << figures.str();
#endif
}

} // namespace
