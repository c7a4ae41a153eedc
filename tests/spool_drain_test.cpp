// A channel with a spool through an outage: down after failed posts, every
// payload kept on disk meanwhile, sent again by the plug-in itself once the
// collector answers (also after a restart, and after a kill), each with its
// own "${payload_id}" on every try.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include "child_process.h"
#include "loopback_server.h"
#include "running_plugin.h"
#include "test_support.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using vxtest::RawHttpServer;

// A collector whose answer the test switches (200 up, 503 down, 401
// refusing), noting every post with its answer and its X-Payload-Id.
class Collector
{
public:
    struct Post {
        std::string body;
        std::string id;
        int answer;
    };

    Collector()
    {
        server.SetResponder([this](RawHttpServer::Connection &c, const RawHttpServer::Request &r) {
            std::string id;
            for (const std::string &line : r.HeaderLines())
                if (line.rfind("X-Payload-Id: ", 0) == 0) id = line.substr(14, line.find('\r') - 14);
            int code = answer.load();
            {
                std::lock_guard<std::mutex> guard(lock);
                if (code == 200 && random() % 1000 < fail_per_mille.load()) code = 503;
                posts.push_back({ r.body, id, code });
            }
            c.Write(code == 200 ? RawHttpServer::Ok()
                                : "HTTP/1.1 " + std::to_string(code) + " X\r\nContent-Length: 0\r\n\r\n");
        });
        server.Start();
    }

    void Answer(int code) { answer.store(code); }
    // Answers 503 to this share of the posts it would take, picked at random.
    void FailShare(double share) { fail_per_mille.store(static_cast<unsigned>(share * 1000)); }
    std::string Url() const { return server.Url("/a"); }

    std::vector<Post> Posts() const
    {
        std::lock_guard<std::mutex> guard(lock);
        return posts;
    }
    // Bodies answered 200, in the order they came.
    std::vector<std::string> Accepted() const
    {
        std::vector<std::string> bodies;
        for (const Post &p : Posts())
            if (p.answer == 200) bodies.push_back(p.body);
        return bodies;
    }
    bool WaitForAccepted(const std::set<std::string> &bodies, std::chrono::milliseconds timeout = 30s) const
    {
        return vxtest::WaitUntil([&] {
            const std::vector<std::string> got = Accepted();
            const std::set<std::string> distinct(got.begin(), got.end());
            return std::includes(distinct.begin(), distinct.end(), bodies.begin(), bodies.end());
        }, timeout);
    }

private:
    std::atomic<int> answer{ 200 };
    std::atomic<unsigned> fail_per_mille{ 0 };
    std::minstd_rand random{ 12345 };
    mutable std::mutex lock;
    std::vector<Post> posts;

public:
    RawHttpServer server;
};

std::string Body(int n)
{
    char text[16];
    snprintf(text, sizeof(text), "p%05d", n);
    return text;
}

std::set<std::string> Bodies(int from, int to)
{
    std::set<std::string> bodies;
    for (int i = from; i < to; i++) bodies.insert(Body(i));
    return bodies;
}

// Short back-offs keep the outage's probes quick.
std::string DrainConfig(const std::string &url, const fs::path &spool, const std::string &extra = "")
{
    return "{ \"delivery\": \"parallel\", \"channels\": { \"a\": { \"url\": \"" + url +
        "\", \"retries\": 1, \"retry_backoff_ms\": 10, \"retry_backoff_max_ms\": 50, \"spool_dir\": \"" +
        spool.string() + "\", \"headers\": { \"X-Payload-Id\": \"${payload_id}\" }" + extra + " } } }";
}

// Every payload's posts carry one id, and no two payloads share one: the
// form is 16 hex digits, a dash, 16 hex digits.
void ExpectOneIdPerPayload(const std::vector<Collector::Post> &posts)
{
    std::map<std::string, std::set<std::string>> ids_of;
    std::map<std::string, std::set<std::string>> bodies_of;
    for (const Collector::Post &p : posts) {
        ids_of[p.body].insert(p.id);
        bodies_of[p.id].insert(p.body);
    }
    for (const auto &[body, ids] : ids_of) {
        EXPECT_EQ(ids.size(), 1u) << body;
        const std::string &id = *ids.begin();
        EXPECT_EQ(id.size(), 33u) << body << " " << id;
        EXPECT_EQ(id.find_first_not_of("0123456789abcdef-"), std::string::npos) << id;
    }
    for (const auto &[id, bodies] : bodies_of) EXPECT_EQ(bodies.size(), 1u) << id;
}

nlohmann::json ChannelStatus(vxtest::RunningPlugin &plugin)
{
    nlohmann::json status;
    plugin.Sink().GetStatus(status);
    return status["channels"]["a"];
}

// Nothing left to send: no spool file, no post waiting for its answer. The
// collector counts a payload before the plug-in has read the answer, and a
// stop keeps such a post on disk as not known to be delivered, so a test that
// stops and then finds the folder empty waits for this first.
bool Settled(vxtest::RunningPlugin &plugin)
{
    const nlohmann::json status = ChannelStatus(plugin);
    return status["spool"]["files"] == 0 && status["in_flight"] == 0 && status["backlog_payloads"] == 0;
}

size_t SpoolFileCount(const fs::path &dir)
{
    size_t count = 0;
    for (const auto &e : fs::directory_iterator(dir))
        if (e.path().extension() == ".spool") count++;
    return count;
}

// The folder's names, for a failure that finds something left in it.
std::string Listing(const fs::path &dir)
{
    std::string names;
    for (const auto &e : fs::directory_iterator(dir)) names += e.path().filename().string() + "\n";
    return names;
}

class SpoolDrain : public vxtest::PluginFixture<testing::TestWithParam<int>> { };

} // namespace

// The collector fails: the channel goes down once a payload has used its
// tries, and what comes meanwhile goes straight to disk. Once it answers
// again the spool drains while new payloads keep coming, each payload
// accepted exactly once with one id on every try; with one post in flight
// they arrive in the order they were queued.
TEST_P(SpoolDrain, DownThenDrainedExactlyOnce)
{
    const int max_in_flight = GetParam();
    Collector collector;
    collector.Answer(503);
    vxtest::TempDir spool;
    vxtest::RunningPlugin plugin(DrainConfig(collector.Url(), spool.Path(),
        ", \"max_in_flight\": " + std::to_string(max_in_flight)), "p");
    plugin.Start();

    for (int i = 0; i < 40; i++) plugin.Queue(Body(i), { "a" });
    ASSERT_TRUE(log.WaitFor("p: a: " + collector.Url() + ": down, spooling payloads\n")) << log.Text();
    ASSERT_TRUE(vxtest::WaitUntil([&] { return ChannelStatus(plugin)["state"] == "down"; }));
    for (int i = 40; i < 80; i++) plugin.Queue(Body(i), { "a" });
    // Everything is on disk or being probed with: nothing waits in memory.
    ASSERT_TRUE(vxtest::WaitUntil([&] { return ChannelStatus(plugin)["spool"]["spooled"] == 80; }, 10s))
        << ChannelStatus(plugin).dump();
    EXPECT_EQ(ChannelStatus(plugin)["backlog_payloads"], 0);

    collector.Answer(200);
    // The live stream goes on while the spool drains.
    for (int i = 80; i < 160; i++) {
        plugin.Queue(Body(i), { "a" });
        if (i % 20 == 0) std::this_thread::sleep_for(5ms);
    }
    ASSERT_TRUE(collector.WaitForAccepted(Bodies(0, 160))) << log.Text();
    ASSERT_TRUE(vxtest::WaitUntil([&] { return Settled(plugin); }, 10s))
        << ChannelStatus(plugin).dump();
    plugin.Terminate();

    const std::vector<std::string> accepted = collector.Accepted();
    EXPECT_EQ(accepted.size(), 160u) << "accepted more than once";
    EXPECT_EQ(std::set<std::string>(accepted.begin(), accepted.end()), Bodies(0, 160));
    if (max_in_flight == 1) {
        EXPECT_TRUE(std::is_sorted(accepted.begin(), accepted.end()));
    }
    ExpectOneIdPerPayload(collector.Posts());
    EXPECT_EQ(log.Count(": down, spooling payloads\n"), 1u) << log.Text();
    EXPECT_EQ(log.Count("p: a: " + collector.Url() + ": up again, "), 1u) << log.Text();
    EXPECT_EQ(ChannelStatus(plugin)["state"], "up");
    EXPECT_TRUE(fs::is_empty(spool.Path())) << Listing(spool.Path()) << log.Text();
}

// A collector that refuses a quarter of the posts at random: payloads that
// used up their tries go to the spool (and, one post at a time, the channel
// goes down and up again many times), the drain's reads and the failures of
// its posts interleave every way, and still every payload arrives exactly
// once and none is left on disk.
TEST_P(SpoolDrain, FlakyCollectorEverythingOnce)
{
    const int max_in_flight = GetParam();
    Collector collector;
    collector.FailShare(0.25);
    vxtest::TempDir spool;
    vxtest::RunningPlugin plugin(DrainConfig(collector.Url(), spool.Path(),
        ", \"max_in_flight\": " + std::to_string(max_in_flight)), "p");
    plugin.Start();
    constexpr int payloads = 1500;
    for (int i = 0; i < payloads; i++) {
        plugin.Queue(Body(i), { "a" });
        if (i % 100 == 0) std::this_thread::sleep_for(5ms);
    }
    ASSERT_TRUE(collector.WaitForAccepted(Bodies(0, payloads), 60s))
        << collector.Accepted().size() << " accepted\n" << ChannelStatus(plugin).dump();
    ASSERT_TRUE(vxtest::WaitUntil([&] { return Settled(plugin); }, 10s))
        << ChannelStatus(plugin).dump();
    plugin.Terminate();
    const std::vector<std::string> accepted = collector.Accepted();
    EXPECT_EQ(accepted.size(), static_cast<size_t>(payloads)) << "accepted more than once";
    ExpectOneIdPerPayload(collector.Posts());
    // One post at a time goes down at each payload that used up its tries.
    if (max_in_flight == 1) {
        EXPECT_GT(log.Count(": down, spooling payloads\n"), 0u) << "the spool was not used";
    }
    EXPECT_TRUE(fs::is_empty(spool.Path())) << Listing(spool.Path()) << log.Text();
}

INSTANTIATE_TEST_SUITE_P(InFlight, SpoolDrain, testing::Values(1, 4),
    [](const testing::TestParamInfo<int> &info) { return "max_in_flight_" + std::to_string(info.param); });

namespace {

class SpoolDrainRuns : public vxtest::PluginFixture<> { };

// The "id" of each whole spool file, by body. A file a kill cut in the
// middle of its write holds no payload: the next start moves it aside.
std::map<std::string, std::string> SpooledIds(const fs::path &dir)
{
    std::map<std::string, std::string> ids;
    for (const auto &e : fs::directory_iterator(dir)) {
        std::ifstream in(e.path(), std::ios::binary);
        const std::string text(std::istreambuf_iterator<char>(in), {});
        const size_t eol = text.find('\n');
        if (eol == std::string::npos) continue;
        const nlohmann::json head = nlohmann::json::parse(text.substr(0, eol), nullptr, false);
        const std::string body = text.substr(eol + 1);
        if (head.is_object() && head.value("length", uint64_t(0)) == body.size())
            ids[body] = head.value("id", "");
    }
    return ids;
}

} // namespace

// Files an earlier run left are sent by the next one as soon as it has
// loaded, oldest first, with the ids they were spooled with; files kept as
// rejected wait until a reload changes the channel.
TEST_F(SpoolDrainRuns, StartUpDrainAndRejectedAfterAChange)
{
    vxtest::TempDir spool;
    Collector collector;
    std::map<std::string, std::string> ids;
    {
        // 401: refused for good, kept as rejected; then 503 until the end.
        collector.Answer(401);
        vxtest::RunningPlugin plugin(DrainConfig(collector.Url(), spool.Path()), "p");
        plugin.Start();
        for (int i = 0; i < 3; i++) plugin.Queue(Body(i), { "a" });
        ASSERT_TRUE(vxtest::WaitUntil([&] { return ChannelStatus(plugin)["spool"]["spooled"] == 3; }));
        collector.Answer(503);
        for (int i = 3; i < 30; i++) plugin.Queue(Body(i), { "a" });
        ASSERT_TRUE(vxtest::WaitUntil([&] { return ChannelStatus(plugin)["spool"]["spooled"] == 30; }));
        plugin.Terminate();
        EXPECT_EQ(ChannelStatus(plugin)["spool"]["rejected"], 3) << ChannelStatus(plugin).dump();
        EXPECT_EQ(ChannelStatus(plugin)["state"], "down");
        ids = SpooledIds(spool.Path());
        ASSERT_EQ(ids.size(), 30u);
    }

    collector.Answer(200);
    const size_t before = collector.Posts().size();
    vxtest::RunningPlugin plugin(DrainConfig(collector.Url(), spool.Path()), "q");
    plugin.Start();
    ASSERT_TRUE(collector.WaitForAccepted(Bodies(3, 30))) << log.Text();
    ASSERT_TRUE(vxtest::WaitUntil([&] { return ChannelStatus(plugin)["spool"]["files"] == 3; }))
        << ChannelStatus(plugin).dump();
    EXPECT_EQ(ChannelStatus(plugin)["spool"]["rejected"], 3) << ChannelStatus(plugin).dump();
    const std::vector<Collector::Post> posts = collector.Posts();
    std::vector<std::string> drained;
    for (size_t i = before; i < posts.size(); i++) {
        drained.push_back(posts[i].body);
        EXPECT_EQ(posts[i].id, ids[posts[i].body]) << posts[i].body;
    }
    const std::set<std::string> expected = Bodies(3, 30);
    EXPECT_EQ(drained, std::vector<std::string>(expected.begin(), expected.end()));

    // Rejected files stay through a reload that changes nothing.
    plugin.Reload();
    ASSERT_TRUE(vxtest::WaitUntil([&] {
        nlohmann::json status;
        plugin.Sink().GetStatus(status);
        return status["configuration"]["loads"] == 2;
    }));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(collector.Posts().size(), posts.size());

    plugin.WriteConfig(DrainConfig(collector.Url(), spool.Path(), ", \"timeout_transfer\": 20"));
    plugin.Reload();
    ASSERT_TRUE(collector.WaitForAccepted(Bodies(0, 30))) << log.Text();
    ASSERT_TRUE(vxtest::WaitUntil([&] { return Settled(plugin); }));
    plugin.Terminate();
    const std::vector<std::string> accepted = collector.Accepted();
    EXPECT_EQ(accepted.size(), 30u);
    ExpectOneIdPerPayload(collector.Posts());
    EXPECT_EQ(ChannelStatus(plugin)["spool"]["drained"], 30) << ChannelStatus(plugin).dump();
    EXPECT_EQ(ChannelStatus(plugin)["spool"]["rejected"], 0);
}

// A second run with "spool_drain": false leaves the files to a replay.
TEST_F(SpoolDrainRuns, DrainOffKeepsTheFiles)
{
    vxtest::TempDir spool;
    Collector collector;
    collector.Answer(503);
    {
        vxtest::RunningPlugin plugin(DrainConfig(collector.Url(), spool.Path()), "p");
        plugin.Start();
        for (int i = 0; i < 5; i++) plugin.Queue(Body(i), { "a" });
        ASSERT_TRUE(vxtest::WaitUntil([&] { return ChannelStatus(plugin)["spool"]["spooled"] == 5; }));
        plugin.Terminate();
    }
    collector.Answer(200);
    const size_t before = collector.Posts().size();
    vxtest::RunningPlugin plugin(DrainConfig(collector.Url(), spool.Path(), ", \"spool_drain\": false"), "q");
    plugin.Start();
    plugin.Queue(Body(5), { "a" });
    ASSERT_TRUE(collector.WaitForAccepted({ Body(5) }));
    std::this_thread::sleep_for(200ms);
    plugin.Terminate();
    EXPECT_EQ(collector.Posts().size(), before + 1);
    EXPECT_EQ(SpoolFileCount(spool.Path()), 5u);
}

#ifdef VX_VXSINK_PATH

// vxsink killed with SIGKILL during an outage, then started again with the
// collector back: every payload that reached the spool is delivered, each
// with the id it was spooled with, and what is missing is only what the
// killed process had not written to disk yet: with one post in flight,
// payloads later than every file. A payload sent twice carries one id.
TEST(SpoolDrainKill, EverythingOnDiskIsDeliveredAfterAKill)
{
    Collector collector;
    collector.Answer(503);
    vxtest::TempDir dir;
    const fs::path spool = dir.Path() / "spool";
    const std::string conf = dir.Write("sink.json", DrainConfig(collector.Url(), spool));
    constexpr int fed = 600;
    std::map<std::string, std::string> ids;
    {
        vxtest::ChildProcess sink({ VX_VXSINK_PATH, "--plugin", VX_PLUGIN_PATH, "--config", conf, "--channel", "a",
            "--tag", "k" });
        std::string first;
        for (int i = 0; i < 100; i++) first += Body(i) + "\n";
        ASSERT_TRUE(sink.Write(first));
        ASSERT_TRUE(sink.WaitForStderr("k: a: " + collector.Url() + ": down, spooling payloads\n")) << sink.Stderr();
        // Killed while the rest still comes in.
        for (int i = 100; i < fed; i++) {
            ASSERT_TRUE(sink.Write(Body(i) + "\n"));
            if (i == 400) {
                ASSERT_TRUE(vxtest::WaitUntil([&] { return SpoolFileCount(spool) >= 200; }, 20s));
                sink.Signal(SIGKILL);
                break;
            }
        }
        EXPECT_EQ(sink.Wait(10s), 128 + SIGKILL);
        ids = SpooledIds(spool);
    }
    ASSERT_GE(ids.size(), 200u);
    const std::string last_on_disk = ids.rbegin()->first;
    std::set<std::string> accepted_before;
    for (const Collector::Post &p : collector.Posts())
        if (p.answer == 200) accepted_before.insert(p.body);

    collector.Answer(200);
    vxtest::ChildProcess sink({ VX_VXSINK_PATH, "--plugin", VX_PLUGIN_PATH, "--config", conf, "--channel", "a",
        "--tag", "k" });
    std::set<std::string> on_disk;
    for (const auto &[body, id] : ids) on_disk.insert(body);
    EXPECT_TRUE(collector.WaitForAccepted(on_disk)) << sink.Stderr();
    ASSERT_TRUE(vxtest::WaitUntil([&] { return SpoolFileCount(spool) == 0; }, 20s)) << sink.Stderr();
    sink.CloseInput();
    EXPECT_EQ(sink.Wait(20s), 0) << sink.Stderr();

    for (const Collector::Post &p : collector.Posts())
        if (ids.count(p.body) != 0 && p.answer == 200) {
            EXPECT_EQ(p.id, ids[p.body]) << p.body;
        }
    ExpectOneIdPerPayload(collector.Posts());
    const std::vector<std::string> accepted = collector.Accepted();
    const std::set<std::string> delivered(accepted.begin(), accepted.end());
    for (int i = 0; i < fed; i++) {
        const std::string body = Body(i);
        if (delivered.count(body) == 0) {
            EXPECT_GT(body, last_on_disk) << "lost from before the last file";
        }
    }
    EXPECT_GE(delivered.size(), ids.size());
}

#endif

#ifdef VX_VXSINK_PATH

// vxsink --replay sends each file with the id it was spooled with, and puts
// right what a crash left as the plug-in's start-up does: a whole hidden file
// is sent, a cut one is moved aside with a line.
TEST_F(SpoolDrainRuns, ReplaySendsTheStoredIdsAndRecoversLeftovers)
{
    vxtest::TempDir spool;
    Collector collector;
    collector.Answer(503);
    {
        vxtest::RunningPlugin plugin(DrainConfig(collector.Url(), spool.Path(), ", \"spool_drain\": false"), "p");
        plugin.Start();
        for (int i = 0; i < 4; i++) plugin.Queue(Body(i), { "a" });
        ASSERT_TRUE(vxtest::WaitUntil([&] { return ChannelStatus(plugin)["spool"]["spooled"] == 4; }));
        plugin.Terminate();
    }
    const std::map<std::string, std::string> ids = SpooledIds(spool.Path());
    ASSERT_EQ(ids.size(), 4u);
    std::vector<fs::path> files;
    for (const auto &e : fs::directory_iterator(spool.Path())) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    // The last file's rename was lost; another was cut short while written.
    const fs::path hidden = spool.Path() / ("." + files.back().filename().string() + ".tmp");
    fs::rename(files.back(), hidden);
    const std::string cut_name = ".99999999999999999999-0000000000.spool.tmp";
    { std::ofstream(spool.Path() / cut_name) << "{\"channel\":\"a\",\"flags\":1,\"length\":50}\nshort"; }

    collector.Answer(200);
    const size_t before = collector.Posts().size();
    vxtest::TempDir dir;
    const std::string config = dir.Write("replay.json", DrainConfig(collector.Url(), spool.Path()));
    vxtest::ChildProcess child({ VX_VXSINK_PATH, "--replay", spool.Path().string(), "--plugin", VX_PLUGIN_PATH,
        "--config", config, "--tag", "r" });
    child.CloseInput();
    EXPECT_EQ(child.Wait(30s), 0) << child.Stderr();
    // The file moved aside waits for an operator.
    EXPECT_EQ(child.StderrCount("vxsink: replay: 4 sent, 0 kept, 1 skipped\n"), 1u) << child.Stderr();
    EXPECT_EQ(child.StderrCount(cut_name + " moved aside as "), 1u) << child.Stderr();

    const std::vector<Collector::Post> posts = collector.Posts();
    ASSERT_EQ(posts.size(), before + 4);
    for (size_t i = before; i < posts.size(); i++) EXPECT_EQ(posts[i].id, ids.at(posts[i].body)) << posts[i].body;
    ExpectOneIdPerPayload(posts);
}

#endif

// Serial delivery gives each payload an id too: one for all of its
// channels, another for the next payload; a channel without the variable
// sends its cached headers unchanged.
TEST_F(SpoolDrainRuns, PayloadIdInSerialDelivery)
{
    Collector collector;
    auto channel = [&](const char *name, const std::string &value) {
        return std::string("\"") + name + "\": { \"url\": \"" + collector.server.Url(std::string("/") + name) +
            "\", \"headers\": { \"X-Payload-Id\": \"" + value + "\" } }";
    };
    vxtest::RunningPlugin plugin("{ \"channels\": { " + channel("a", "${payload_id}") + ", " +
        channel("b", "id-${payload_id}") + ", " + channel("c", "fixed") + " } }", "s");
    plugin.Start();
    plugin.Queue("one", { "a", "b", "c" });
    plugin.Queue("two", { "a", "b", "c" });
    ASSERT_TRUE(collector.WaitForAccepted({ "one", "two" }));
    ASSERT_TRUE(vxtest::WaitUntil([&] { return collector.Posts().size() == 6; }));
    plugin.Terminate();
    std::map<std::string, std::vector<std::string>> ids;
    for (const Collector::Post &p : collector.Posts()) ids[p.body].push_back(p.id);
    for (const char *body : { "one", "two" }) {
        // Channels are posted in name order.
        ASSERT_EQ(ids[body].size(), 3u);
        EXPECT_EQ(ids[body][0].size(), 33u) << ids[body][0];
        EXPECT_EQ(ids[body][1], "id-" + ids[body][0]);
        EXPECT_EQ(ids[body][2], "fixed");
    }
    EXPECT_NE(ids["one"][0], ids["two"][0]);
}
