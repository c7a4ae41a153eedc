// The worker loop as the agent drives it: the plug-in loaded with dlopen, its
// own thread, the real queue, and real loopback servers at the other end.
#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "loopback_server.h"
#include "running_plugin.h"
#include "test_support.h"
#include "vxplugin.h"

using namespace std::chrono_literals;

namespace {

std::string Channel(const std::string &name, const std::string &url)
{
    return "\"" + name + "\": { \"url\": \"" + url + "\" }";
}

std::string Channels(const std::string &members) { return "{ \"channels\": { " + members + " } }"; }

class WorkerLoop : public vxtest::PluginFixture<> { };

TEST_F(WorkerLoop, PostsToDefinedChannelsInNameOrderAndReleasesPayloads)
{
    vxtest::HttpServer server;
    server.Start();
    // Declared out of order, and one disabled, to show the walk follows
    // names, not the file.
    vxtest::RunningPlugin plugin(Channels(Channel("c", server.Url("/c")) + ", " +
        Channel("a", server.Url("/a")) + ", \"off\": { \"enable\": false }, " +
        Channel("b", server.Url("/b"))), "w");
    plugin.Start();

    std::vector<std::weak_ptr<vxPluginSinkPayload>> sent;
    for (int i = 0; i < 3; i++)
        sent.push_back(plugin.Queue("{\"n\":" + std::to_string(i) + "}", { "zz", "b", "off", "c", "a" }));
    ASSERT_TRUE(server.WaitForRequests(9));

    std::vector<std::string> got;
    for (const auto &r : server.Requests()) got.push_back(r.path + " " + r.body);
    EXPECT_EQ(got, (std::vector<std::string>{ "/a {\"n\":0}", "/b {\"n\":0}", "/c {\"n\":0}",
                       "/a {\"n\":1}", "/b {\"n\":1}", "/c {\"n\":1}", "/a {\"n\":2}",
                       "/b {\"n\":2}", "/c {\"n\":2}" }));
    // The last payload's unknown names come after its last post.
    EXPECT_TRUE(log.WaitFor("channel not defined", 6));
    EXPECT_EQ(log.Count("w: channel not defined: zz\n"), 3u);
    EXPECT_EQ(log.Count("w: channel not defined: off\n"), 3u);
    EXPECT_EQ(log.Count("channel not defined"), 6u);

    // Once the queue is drained the worker keeps no payload alive, while it
    // is still running and idle.
    EXPECT_TRUE(vxtest::WaitUntil([&] {
        for (const auto &w : sent)
            if (!w.expired()) return false;
        return true;
    }));
}

TEST_F(WorkerLoop, UnreadableConfigurationLeavesNoChannels)
{
    vxtest::RunningPlugin plugin("", "w");
    std::filesystem::remove(plugin.ConfigPath());
    plugin.Start();
    ASSERT_TRUE(log.WaitFor("configuration not loaded"));
    EXPECT_EQ(log.Count("w: configuration not loaded: w: error opening configuration: " + plugin.ConfigPath() + "\n"), 1u);

    // One payload at a time, so the loop passes its reload check in between:
    // the failed load cleared the request and nothing tries again on its own.
    plugin.Queue("{}", { "a", "b" });
    ASSERT_TRUE(log.WaitFor("channel not defined", 2));
    plugin.Queue("{}", { "a" });
    ASSERT_TRUE(log.WaitFor("channel not defined", 3));
    EXPECT_EQ(log.Count("w: channel not defined: a\n"), 2u);
    EXPECT_EQ(log.Count("w: channel not defined: b\n"), 1u);
    EXPECT_EQ(log.Count("Loading configuration"), 1u);
}

TEST_F(WorkerLoop, ReloadSwitchesUrlAndBrokenFileKeepsChannels)
{
    vxtest::HttpServer before, after;
    before.Start();
    after.Start();
    vxtest::RunningPlugin plugin(Channels(Channel("a", before.Url("/a"))), "w");
    plugin.Start();

    plugin.Queue("1", { "a" });
    ASSERT_TRUE(before.WaitForRequests(1));

    plugin.WriteConfig(Channels(Channel("a", after.Url("/moved"))));
    plugin.Reload();
    // The reload runs at the top of the worker's next pass; a payload queued
    // before then would rightly still go to the old URL.
    ASSERT_TRUE(log.WaitFor("Loading configuration", 2));
    plugin.Queue("2", { "a" });
    ASSERT_TRUE(after.WaitForRequests(1));
    EXPECT_EQ(after.Requests()[0].path, "/moved");

    plugin.WriteConfig("{ \"channels\": { \"a\": ");
    plugin.Reload();
    ASSERT_TRUE(log.WaitFor("configuration not loaded"));
    plugin.Queue("3", { "a" });
    ASSERT_TRUE(after.WaitForRequests(2));
    EXPECT_EQ(after.Requests()[1].body, "3");
    EXPECT_EQ(before.RequestCount(), 1u);
    EXPECT_EQ(log.Count("channel not defined"), 0u);
}

TEST_F(WorkerLoop, EventsBeforeTheFirstPassReloadOnce)
{
    vxtest::HttpServer server;
    server.Start();
    vxtest::RunningPlugin plugin(Channels(Channel("a", server.Url("/a"))), "w");
    plugin.Make();
    plugin.Reload();
    plugin.Reload();
    plugin.Start();

    // Two payloads in turn: by the time the second arrives the loop has been
    // back to its reload check after the first.
    plugin.Queue("1", { "a" });
    ASSERT_TRUE(server.WaitForRequests(1));
    plugin.Queue("2", { "a" });
    ASSERT_TRUE(server.WaitForRequests(2));
    EXPECT_EQ(log.Count("w: Loading configuration: " + plugin.ConfigPath() + "\n"), 1u);
}

TEST_F(WorkerLoop, PayloadWithoutChannelsIsDroppedSilently)
{
    vxtest::HttpServer server;
    server.Start();
    vxtest::RunningPlugin plugin(Channels(Channel("a", server.Url("/a"))), "w");
    plugin.Start();
    ASSERT_TRUE(log.WaitFor("Loading configuration"));
    const size_t lines_before = log.Lines().size();

    std::weak_ptr<vxPluginSinkPayload> watch = plugin.Queue("{\"dropped\":true}", {});
    plugin.Queue("{\"kept\":true}", { "a" });
    ASSERT_TRUE(server.WaitForRequests(1));
    EXPECT_TRUE(vxtest::WaitUntil([&] { return watch.expired(); }));

    EXPECT_EQ(server.RequestCount(), 1u);
    EXPECT_EQ(server.Requests()[0].body, "{\"kept\":true}");
    EXPECT_EQ(log.Lines().size(), lines_before) << log.Text();
}

TEST_F(WorkerLoop, StopDuringSlowTransferAbortsIt)
{
    vxtest::RawHttpServer server;
    server.SetResponder([](vxtest::RawHttpServer::Connection &, const vxtest::RawHttpServer::Request &) {
        // Never answers: the transfer could only end by its 60 s limit.
    });
    server.Start();
    vxtest::RunningPlugin plugin("{ \"timeout_transfer\": 60, \"channels\": { " +
        Channel("slow", server.Url("/slow")) + " } }", "w");
    plugin.Start();
    plugin.Queue("{}", { "slow" });
    ASSERT_TRUE(server.WaitForRequests(1));

    auto start = std::chrono::steady_clock::now();
    plugin.Terminate();
    plugin.Delete();
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, 3s);
    // libcurl's "aborted by callback" code.
    EXPECT_EQ(log.Count("w: slow: " + server.Url("/slow") + ": "), 1u) << log.Text();
    EXPECT_EQ(log.Count(" [42]\n"), 1u) << log.Text();
}

TEST_F(WorkerLoop, StopWhileIdleIsPrompt)
{
    vxtest::RunningPlugin plugin("{ \"channels\": {} }", "w");
    plugin.Start();
    ASSERT_TRUE(log.WaitFor("Loading configuration"));

    auto start = std::chrono::steady_clock::now();
    plugin.Terminate();
    plugin.Delete();
    // Generous: the latency itself is measured by the benchmarks.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(log.Count("w: destroyed\n"), 1u);
}

TEST_F(WorkerLoop, StopBeforeTheThreadRunsLogsOnlyTheBanner)
{
    vxtest::RunningPlugin plugin("{ \"channels\": {} }", "early");
    plugin.Make();
    plugin.Terminate();
    plugin.Start();
    plugin.Delete();

    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 3u) << log.Text();
    EXPECT_EQ(lines[0], "early: initialized\n");
    EXPECT_EQ(lines[1].rfind("early: Vornix Agent HTTP Sink Plugin v1.2.5", 0), 0u) << lines[1];
    EXPECT_EQ(lines[1].back(), '\n');
    EXPECT_EQ(lines[2], "early: destroyed\n");
}

} // namespace
