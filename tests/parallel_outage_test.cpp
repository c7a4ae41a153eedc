// Parallel delivery through a collector's outage: time-outs tried again, a
// Retry-After date waited out, waiting retries in the status, what a stop
// spools, and the spool's recovery after an episode it could not write.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include "loopback_server.h"
#include "running_plugin.h"
#include "test_support.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using vxtest::RawHttpServer;
using Clock = std::chrono::steady_clock;

std::string Channel(const std::string &name, const std::string &url, const std::string &extra)
{
    return "\"" + name + "\": { \"url\": \"" + url + "\", \"timeout_transfer\": 60, " + extra + " }";
}

std::string Config(const std::string &channels)
{
    return "{ \"delivery\": \"parallel\", \"channels\": { " + channels + " } }";
}

// A collector that reads each request and never answers (until it stops).
void NeverAnswer(RawHttpServer &server)
{
    server.SetResponder([](RawHttpServer::Connection &c, const RawHttpServer::Request &) {
        const auto deadline = Clock::now() + 30s;
        while (!c.Stopping() && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
    });
}

// A collector that answers every request with `answer`, noting when each came.
class AnsweringServer
{
public:
    explicit AnsweringServer(std::string answer) : answer(std::move(answer))
    {
        server.SetResponder([this](RawHttpServer::Connection &c, const RawHttpServer::Request &) {
            {
                std::lock_guard<std::mutex> guard(lock);
                times.push_back(Clock::now());
            }
            c.Write(this->answer);
        });
        server.Start();
    }
    std::vector<Clock::time_point> Times() const
    {
        std::lock_guard<std::mutex> guard(lock);
        return times;
    }

private:
    mutable std::mutex lock;
    std::vector<Clock::time_point> times;
    std::string answer;

public:
    RawHttpServer server;
};

std::string Status(int code, const std::string &extra = "")
{
    return "HTTP/1.1 " + std::to_string(code) + " X\r\n" + extra + "Content-Length: 0\r\n\r\n";
}

std::vector<std::string> SpooledBodies(const fs::path &dir)
{
    std::vector<fs::path> files;
    for (const auto &e : fs::directory_iterator(dir)) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    std::vector<std::string> bodies;
    for (const auto &f : files) {
        std::ifstream in(f, std::ios::binary);
        const std::string text(std::istreambuf_iterator<char>(in), {});
        bodies.push_back(text.substr(text.find('\n') + 1));
    }
    return bodies;
}

nlohmann::json ChannelStatus(vxtest::RunningPlugin &plugin, const std::string &name)
{
    nlohmann::json status;
    plugin.Sink().GetStatus(status);
    return status["channels"][name];
}

class ParallelOutage : public vxtest::PluginFixture<> { };

// A collector that takes the request and never answers: the time limit ends
// each try with libcurl's time-out, and a time-out is tried again.
TEST_F(ParallelOutage, TimeOutIsTriedAgain)
{
    RawHttpServer silent;
    NeverAnswer(silent);
    silent.Start();
    const std::string url = silent.Url("/a");
    vxtest::RunningPlugin plugin(Config(Channel("a", url,
        "\"timeout_transfer\": 1, \"retries\": 1, \"retry_backoff_ms\": 1")), "p");
    plugin.Start();

    auto sent = plugin.Queue("x", { "a" });
    ASSERT_TRUE(log.WaitFor("giving up", 1, 20s)) << log.Text();
    EXPECT_TRUE(vxtest::WaitUntil([&] { return sent.expired(); }));
    EXPECT_EQ(log.Count("p: a: " + url + ": giving up after 2 attempts\n"), 1u) << log.Text();
    EXPECT_EQ(log.Count(" [" + std::to_string(CURLE_OPERATION_TIMEDOUT) + "]\n"), 2u) << log.Text();
    EXPECT_EQ(silent.RequestCount(), 2u);
}

// A Retry-After date a few seconds ahead is waited out like the same number
// of seconds, not taken for "now".
TEST_F(ParallelOutage, FutureRetryAfterDateIsWaitedOut)
{
    // Whole seconds: the date is at least two seconds ahead when it is read.
    const std::time_t when = std::time(nullptr) + 3;
    char date[64];
    std::tm utc{};
    gmtime_r(&when, &utc);
    std::strftime(date, sizeof(date), "%a, %d %b %Y %H:%M:%S GMT", &utc);
    AnsweringServer busy(Status(503, std::string("Retry-After: ") + date + "\r\n"));
    vxtest::RunningPlugin plugin(Config(Channel("a", busy.server.Url("/a"),
        "\"retries\": 1, \"retry_backoff_ms\": 1, \"retry_backoff_max_ms\": 60000")), "p");
    plugin.Start();

    plugin.Queue("x", { "a" });
    ASSERT_TRUE(vxtest::WaitUntil([&] { return busy.Times().size() >= 2; }, 20s)) << log.Text();
    const auto times = busy.Times();
    EXPECT_GE(times[1] - times[0], 1500ms);
    EXPECT_LT(times[1] - times[0], 15s);
}

// Payloads waiting for their next try are part of the channel's backlog in
// the status, by count and by bytes, until a stop lets them go.
TEST_F(ParallelOutage, WaitingRetriesCountInTheBacklog)
{
    AnsweringServer busy(Status(503, "Retry-After: 60\r\n"));
    vxtest::RunningPlugin plugin(Config(Channel("a", busy.server.Url("/a"),
        "\"max_in_flight\": 2, \"retries\": 1, \"retry_backoff_max_ms\": 60000")), "p");
    plugin.Start();

    plugin.Queue("12345", { "a" });
    plugin.Queue("1234567", { "a" });
    ASSERT_TRUE(busy.server.WaitForRequests(2));
    nlohmann::json seen;
    const bool counted = vxtest::WaitUntil([&] {
        seen = ChannelStatus(plugin, "a");
        return seen.is_object() && seen["in_flight"] == 0 && seen["backlog_payloads"] == 2;
    });
    ASSERT_TRUE(counted) << seen.dump() << "\n" << log.Text();
    EXPECT_EQ(seen["backlog_bytes"], 12);

    plugin.Terminate();
    EXPECT_EQ(log.Count("p: a: " + busy.server.Url("/a") + ": stopped, 2 payloads not sent\n"), 1u) << log.Text();
}

// A stop cuts off the posts in flight; with a spool they are kept there (the
// collector may not have them), beside what still waited. Until a post whose
// transfer ends by the stop flag just before the stop itself reaches it is
// kept as well, only "at least one of those in flight" is asserted.
TEST_F(ParallelOutage, StopSpoolsThePostsInFlight)
{
    RawHttpServer silent;
    NeverAnswer(silent);
    silent.Start();
    vxtest::TempDir spool;
    vxtest::RunningPlugin plugin(Config(Channel("a", silent.Url("/a"),
        "\"max_in_flight\": 4, \"spool_dir\": \"" + spool.Path().string() + "\"")), "p");
    plugin.Start();

    for (int i = 0; i < 5; i++) plugin.Queue("body" + std::to_string(i), { "a" });
    ASSERT_TRUE(silent.WaitForRequests(4));
    plugin.Terminate();

    const std::vector<std::string> bodies = SpooledBodies(spool.Path());
    const auto kept = [&](const std::string &body) {
        return std::find(bodies.begin(), bodies.end(), body) != bodies.end();
    };
    // Each of them, however the stop reached its transfer: the stop flag may
    // end a transfer before the engine's stop does.
    for (int i = 0; i < 5; i++) EXPECT_TRUE(kept("body" + std::to_string(i))) << i << "\n" << log.Text();
    EXPECT_EQ(log.Count("p: a: " + silent.Url("/a") + ": stopped, 1 payloads not sent\n"), 1u) << log.Text();
}

// A spool folder that could not be written and then can: the episode ends
// with one line that counts what was lost, and the next payload is kept.
TEST_F(ParallelOutage, SpoolAcceptsAgainOnceWritable)
{
    vxtest::TempDir dir;
    const fs::path folder = dir.Path() / "spool";
    { std::ofstream(folder) << "in the way"; } // a file where the folder should be
    AnsweringServer down(Status(500));
    vxtest::RunningPlugin plugin(Config(Channel("a", down.server.Url("/a"),
        "\"spool_dir\": \"" + folder.string() + "\"")), "p");
    plugin.Start();

    // One payload lost: its line says the writer is done with it (the files
    // are written apart from the transfers, so a second might still be on
    // its way when the folder is fixed).
    plugin.Queue("lost", { "a" });
    ASSERT_TRUE(log.WaitFor("p: a: cannot write spool " + folder.string() + ": ")) << log.Text();

    fs::remove(folder);
    fs::create_directory(folder);
    plugin.Queue("kept", { "a" });
    EXPECT_TRUE(log.WaitFor("p: a: spool " + folder.string() + " accepting again, 1 payloads dropped\n"))
        << log.Text();
    plugin.Terminate();
    EXPECT_EQ(SpooledBodies(folder), (std::vector<std::string>{ "kept" }));
    EXPECT_EQ(log.Count("cannot write spool"), 1u) << log.Text();
}

} // namespace

namespace {

// What the loss paths leave in the spool: every body once, and how many
// were kept as refused for good.
struct Kept {
    std::multiset<std::string> bodies;
    size_t rejected = 0;
};

Kept ReadSpool(const fs::path &dir)
{
    Kept kept;
    for (const auto &e : fs::directory_iterator(dir)) {
        std::ifstream in(e.path(), std::ios::binary);
        const std::string text(std::istreambuf_iterator<char>(in), {});
        const size_t end = text.find('\n');
        const nlohmann::json head = nlohmann::json::parse(text.substr(0, end), nullptr, false);
        if (head.is_object() && head.value("rejected", false)) kept.rejected++;
        kept.bodies.insert(text.substr(end + 1));
    }
    return kept;
}

struct LossPath {
    const char *name;
    // How the channel is cut off from its collector after the payloads
    // were queued: "stop", "remove" or "disable" (a reload), or "refuse" (the
    // collector answers 401 to everything).
    const char *how;
    int payloads;
};

class SpoolKeepsEveryPath : public vxtest::PluginFixture<testing::TestWithParam<LossPath>> { };

} // namespace

// Each way a payload can leave a channel undelivered ends in the spool, each
// payload exactly once: in flight, in the backlog, still in the agent's
// queue, refused outright, or on a channel a reload removed.
TEST_P(SpoolKeepsEveryPath, EveryPayloadSpooledOnce)
{
    const LossPath &path = GetParam();
    const bool refuse = std::string(path.how) == "refuse";
    RawHttpServer silent;
    NeverAnswer(silent);
    silent.Start();
    AnsweringServer refusing(Status(401));
    const std::string url = refuse ? refusing.server.Url("/a") : silent.Url("/a");
    vxtest::TempDir spool;
    const std::string keys = "\"max_in_flight\": 4, \"spool_dir\": \"" + spool.Path().string() + "\"";
    vxtest::RunningPlugin plugin(Config(Channel("a", url, keys) + ", " + Channel("b", silent.Url("/b"), "\"max_in_flight\": 1")), "p");
    plugin.Start();
    // Loaded first: a stop before the first load has no channels to keep for.
    ASSERT_TRUE(vxtest::WaitUntil([&] { return ChannelStatus(plugin, "a").is_object(); }));

    for (int i = 0; i < path.payloads; i++) plugin.Queue("p" + std::to_string(i), { "a", "b" });
    const std::string how = path.how;
    if (how == "remove" || how == "disable") {
        ASSERT_TRUE(silent.WaitForRequests(4));
        plugin.WriteConfig(Config(Channel("b", silent.Url("/b"), "\"max_in_flight\": 1") +
            (how == "disable" ? ", " + Channel("a", url, keys + ", \"enable\": false") : std::string())));
        plugin.Reload();
        ASSERT_TRUE(log.WaitFor("p: a: " + url + ": removed, ")) << log.Text();
    }
    if (refuse) {
        ASSERT_TRUE(vxtest::WaitUntil([&] { return ChannelStatus(plugin, "a")["posts"] == path.payloads; },
            std::chrono::seconds(30)));
        EXPECT_EQ(ChannelStatus(plugin, "a")["given_up"], path.payloads);
    }
    plugin.Terminate();

    const Kept kept = ReadSpool(spool.Path());
    EXPECT_EQ(kept.bodies.size(), static_cast<size_t>(path.payloads)) << log.Text();
    for (int i = 0; i < path.payloads; i++) EXPECT_EQ(kept.bodies.count("p" + std::to_string(i)), 1u) << i;
    EXPECT_EQ(kept.rejected, refuse ? static_cast<size_t>(path.payloads) : 0u);
    EXPECT_EQ(log.Count("spool behind"), 0u);
    // The status shows what the spool holds for a channel still in force.
    if (how == "stop" || refuse) {
        const nlohmann::json figures = ChannelStatus(plugin, "a")["spool"];
        EXPECT_EQ(figures["spooled"], path.payloads) << figures.dump();
        EXPECT_EQ(figures["files"], path.payloads) << figures.dump();
        EXPECT_EQ(figures["lost"]["spool_full"], 0);
    }
}

// The agent's queue is not empty at the stop when payloads come faster than
// one round of the worker takes them; a stop right after them leaves some
// there, which the line counts.
INSTANTIATE_TEST_SUITE_P(Paths, SpoolKeepsEveryPath,
    testing::Values(LossPath{ "stop_with_a_full_queue", "stop", 3000 }, LossPath{ "stop_again", "stop", 3000 },
        LossPath{ "refused_outright", "refuse", 20 }, LossPath{ "channel_removed", "remove", 50 },
        LossPath{ "channel_disabled", "disable", 50 }),
    [](const testing::TestParamInfo<LossPath> &info) { return info.param.name; });

// A missing spool folder is made at load, private to the agent; one that
// cannot be made is a warning of the load, before any outage needs it.
TEST_F(ParallelOutage, SpoolFolderMadeAtLoadOrWarned)
{
    vxtest::TempDir dir;
    const fs::path made = dir.Path() / "a" / "b";
    { std::ofstream(dir.Path() / "file") << "in the way"; }
    const fs::path impossible = dir.Path() / "file" / "spool";
    vxtest::RunningPlugin plugin(Config(Channel("a", "http://127.0.0.1:9/", "\"spool_dir\": \"" + made.string() + "\"") +
        ", " + Channel("b", "http://127.0.0.1:9/", "\"spool_dir\": \"" + impossible.string() + "\"")), "p");
    plugin.Start();
    nlohmann::json status;
    ASSERT_TRUE(vxtest::WaitUntil([&] {
        plugin.Sink().GetStatus(status);
        return status["configuration"]["loads"] == 1;
    }));
    ASSERT_TRUE(fs::is_directory(made));
    EXPECT_EQ(fs::status(made).permissions() & fs::perms::all, fs::perms::owner_all);
    const auto warnings = status["configuration"]["warnings"];
    ASSERT_EQ(warnings.size(), 1u) << warnings.dump();
    EXPECT_EQ(warnings[0].get<std::string>().rfind("channel \"b\": cannot make spool folder " + impossible.string(), 0), 0u)
        << warnings.dump();
}
