// The agent's requests as the running worker sees them: reloads that arrive
// while a load runs or while the worker is idle, stops with payloads still
// queued, a failure that ends the thread, and which lines an operator sees
// without debug logging.
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "loopback_server.h"
#include "running_plugin.h"
#include "test_support.h"
#include "vxtesting.h"

namespace {

using namespace vxtest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string ChannelFile(const std::string &name, const std::string &url)
{
    return R"({"timeout_connect": 2, "timeout_transfer": 10, "channels": {")" + name + R"(": {"url": ")" + url +
        R"("}}})";
}

// A request that arrives after the running load has read the file must
// cause one more load: here the file is mended and the reload requested
// while the worker is still inside the failed load (from its failure line).
TEST(WorkerRequests, ReloadRequestedDuringALoadIsNotLost)
{
    HttpServer server;
    server.Start();
    GlobalConfigScope global;
    LogCapture log(true);
    RunningPlugin plugin("{ broken");

    std::atomic<bool> mended{ false };
    std::mutex lock;
    std::vector<std::string> lines;
    vx_log_set_sink([&](const std::string &text) {
        {
            std::lock_guard<std::mutex> guard(lock);
            lines.push_back(text);
        }
        if (text.find("configuration not loaded") != std::string::npos && !mended.exchange(true)) {
            plugin.WriteConfig(ChannelFile("a", server.Url()));
            plugin.Reload();
        }
    });
    plugin.Start();

    auto loads = [&] {
        std::lock_guard<std::mutex> guard(lock);
        size_t n = 0;
        for (const auto &line : lines) n += line.find(": Loading configuration: ") != std::string::npos;
        return n;
    };
    ASSERT_TRUE(WaitUntil([&] { return loads() >= 2; }, 5s)) << "the request made during the load was lost";
    auto payload = plugin.Queue("{}", { "a" });
    EXPECT_TRUE(server.WaitForRequests(1, 5s));
    plugin.Delete();
    vx_log_set_sink({});
    EXPECT_EQ(loads(), 2u);
}

// The agent does not wake the worker for a reload; its bounded queue wait
// does, so an idle worker applies the request within about a second.
TEST(WorkerRequests, IdleWorkerReloadsWithinAboutASecond)
{
    GlobalConfigScope global;
    LogCapture log(true);
    RunningPlugin plugin(ChannelFile("a", "http://127.0.0.1:9/"));
    plugin.Start();
    ASSERT_TRUE(log.WaitFor(": Loading configuration: ", 1, 5s));
    // Let the worker settle into its wait.
    std::this_thread::sleep_for(300ms);

    const auto asked = Clock::now();
    plugin.Reload();
    ASSERT_TRUE(log.WaitFor(": Loading configuration: ", 2, 5s));
    EXPECT_LT(Clock::now() - asked, 2500ms);
}

// A slow collector holds the first post; the stop aborts it, and the
// payloads behind it are released unposted with one line.
TEST(WorkerRequests, StopReleasesQueuedPayloadsWithOneLine)
{
    RawHttpServer server;
    server.SetResponder([](RawHttpServer::Connection &c, const RawHttpServer::Request &) {
        for (int i = 0; i < 100 && !c.Stopping(); i++) std::this_thread::sleep_for(50ms);
        c.Write(RawHttpServer::Ok());
    });
    server.Start();
    GlobalConfigScope global;
    LogCapture log(false);
    RunningPlugin plugin(ChannelFile("a", server.Url()), "stop-test");
    plugin.Start();

    std::vector<std::weak_ptr<vxPluginSinkPayload>> queued;
    queued.push_back(plugin.Queue("{\"n\":0}", { "a" }));
    ASSERT_TRUE(server.WaitForRequests(1, 5s));
    // A payload for two channels counts once.
    for (int i = 1; i <= 40; i++) queued.push_back(plugin.Queue("{}", { "a", "b" }));

    EXPECT_LT(plugin.Terminate(), 3s);
    for (const auto &weak : queued) EXPECT_TRUE(weak.expired());
    EXPECT_EQ(server.RequestCount(), 1u);
    EXPECT_EQ(log.Count("stop-test: stopped, 40 queued payloads not sent\n"), 1u) << log.Text();
    EXPECT_EQ(log.Count("stopped,"), 1u);

    // Nothing queued: no line.
    log.Clear();
    RunningPlugin idle(ChannelFile("a", server.Url()), "idle");
    idle.Start();
    idle.Terminate();
    EXPECT_EQ(log.Count("stopped,"), 0u) << log.Text();
}

// A failure of the poster itself (here: the agent withdrew its global
// configuration before the first post) ends the thread; later payloads are
// not taken.
TEST(WorkerRequests, ExceptionFromThePosterEndsTheThread)
{
    HttpServer server;
    server.Start();
    GlobalConfigScope global;
    LogCapture log(false);
    RunningPlugin plugin(ChannelFile("a", server.Url()), "ends");
    {
        LogCapture debug(true);
        plugin.Start();
        // A payload for no channel shows the first load has finished.
        plugin.Queue("{}", { "none" });
        ASSERT_TRUE(debug.WaitFor("ends: channel not defined: none\n", 1, 5s));
        vxGlobalConfig::SetInstance(nullptr);
        plugin.Queue("{}", { "a" });
        ASSERT_TRUE(debug.WaitFor("ends: thread ended by exception: ", 1, 5s)) << debug.Text();
    }
    vxGlobalConfig::SetInstance(&global.config);
    auto later = plugin.Queue("{}", { "a" });
    std::this_thread::sleep_for(1500ms);
    EXPECT_FALSE(later.expired());
    EXPECT_EQ(server.RequestCount(), 0u);
}

// Debug lines stay out of an operator's log; refusals and failures do not.
TEST(WorkerRequests, OperatorLinesWithoutDebugLogging)
{
    GlobalConfigScope global;
    LogCapture log(false);
    {
        RunningPlugin plugin(ChannelFile("a", "http://127.0.0.1:9/"), "quiet");
        plugin.Start();
        auto payload = plugin.Queue("{}", { "undefined" });
        ASSERT_TRUE(WaitUntil([&] { return payload.expired(); }, 5s));
    }
    for (const std::string &line : log.Lines()) {
        EXPECT_EQ(line.find("channel not defined"), std::string::npos) << line;
        EXPECT_EQ(line.find("Loading configuration"), std::string::npos) << line;
        EXPECT_EQ(line.find("initialized"), std::string::npos) << line;
    }
    EXPECT_EQ(log.Count("quiet: Vornix Agent HTTP Sink Plugin v1.2.5: "), 1u) << log.Text();

    vx_testing_force_plugin_type(0);
    vxPlugin *refused = BuiltPlugin().Factory()("refused", {});
    vx_testing_force_plugin_type(-1);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(log.Count("Invalid plugin type: refused [0]\n"), 1u) << log.Text();
}

} // namespace
