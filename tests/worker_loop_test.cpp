// The worker loop as the agent drives it: the plug-in loaded with dlopen, its
// own thread, the real queue, and real loopback servers at the other end.
#include <dlfcn.h>

#include <chrono>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "loopback_server.h"
#include "test_support.h"
#include "vxplugin.h"

using namespace std::chrono_literals;

namespace {

// The factory of the built plug-in, loaded once and kept for the process:
// instances of earlier tests may have left libcurl state behind.
vxPluginInitFunction Factory()
{
    static vxPluginInitFunction init = [] {
        void *handle = dlopen(VX_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return vxPluginInitFunction(nullptr);
        return reinterpret_cast<vxPluginInitFunction>(dlsym(handle, "vxPluginInit"));
    }();
    return init;
}

std::shared_ptr<vxPluginSinkPayload> Payload(const std::string &body,
    const std::set<std::string> &channels)
{
    return std::make_shared<vxPluginSinkPayload>(body.size(),
        reinterpret_cast<const uint8_t *>(body.data()), channels,
        vxFlags<vxPlugin::DispatchFlags>(vxPlugin::FORMAT_JSON));
}

std::string Channel(const std::string &name, const std::string &url)
{
    return "\"" + name + "\": { \"url\": \"" + url + "\" }";
}

// Stops before deleting, as the agent does, so that a test ending early on a
// failed assertion cannot leave the destructor joining a running thread.
struct StopAndDelete {
    void operator()(vxPluginSink *plugin) const
    {
        plugin->Terminate();
        delete plugin;
    }
};
using PluginPtr = std::unique_ptr<vxPluginSink, StopAndDelete>;

class WorkerLoop : public testing::Test
{
protected:
    void SetUp() override { ASSERT_NE(Factory(), nullptr) << dlerror(); }

    // An instance reading `conf_text` (or the path `missing` when the text
    // is null), not started yet.
    PluginPtr Make(const char *conf_text, const std::string &tag = "w")
    {
        conf = conf_text ? dir.Write("sink.json", conf_text) : (dir.Path() / "missing.json").string();
        std::unique_ptr<vxPlugin> plugin(Factory()(tag, { { "conf_filename", conf } }));
        auto *sink = dynamic_cast<vxPluginSink *>(plugin.get());
        if (sink == nullptr) throw std::runtime_error("the factory made no sink");
        plugin.release();
        return PluginPtr(sink);
    }

    void Rewrite(const std::string &text) { dir.Write("sink.json", text); }

    vxtest::LogCapture log;
    vxtest::GlobalConfigScope global;
    vxtest::TempDir dir;
    std::string conf;
};

TEST_F(WorkerLoop, PostsToDefinedChannelsInNameOrderAndReleasesPayloads)
{
    vxtest::HttpServer server;
    server.Start();
    // Declared out of order, and one disabled, to show the walk follows
    // names, not the file.
    auto plugin = Make(("{ \"channels\": { " + Channel("c", server.Url("/c")) + ", " +
        Channel("a", server.Url("/a")) + ", \"off\": { \"enable\": false }, " +
        Channel("b", server.Url("/b")) + " } }").c_str());
    plugin->Create();

    std::vector<std::weak_ptr<vxPluginSinkPayload>> sent;
    for (int i = 0; i < 3; i++) {
        auto p = Payload("{\"n\":" + std::to_string(i) + "}", { "zz", "b", "off", "c", "a" });
        sent.push_back(p);
        plugin->QueuePayload(p);
    }
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
    plugin->Terminate();
}

TEST_F(WorkerLoop, UnreadableConfigurationLeavesNoChannels)
{
    auto plugin = Make(nullptr);
    plugin->Create();
    ASSERT_TRUE(log.WaitFor("configuration not loaded"));
    EXPECT_EQ(log.Count("w: configuration not loaded: w: error opening configuration: " + conf + "\n"), 1u);

    // One payload at a time, so the loop passes its reload check in between:
    // the failed load cleared the request and nothing tries again on its own.
    plugin->QueuePayload(Payload("{}", { "a", "b" }));
    ASSERT_TRUE(log.WaitFor("channel not defined", 2));
    plugin->QueuePayload(Payload("{}", { "a" }));
    ASSERT_TRUE(log.WaitFor("channel not defined", 3));
    EXPECT_EQ(log.Count("w: channel not defined: a\n"), 2u);
    EXPECT_EQ(log.Count("w: channel not defined: b\n"), 1u);
    EXPECT_EQ(log.Count("Loading configuration"), 1u);
    plugin->Terminate();
}

TEST_F(WorkerLoop, ReloadSwitchesUrlAndBrokenFileKeepsChannels)
{
    vxtest::HttpServer before, after;
    before.Start();
    after.Start();
    auto plugin = Make(("{ \"channels\": { " + Channel("a", before.Url("/a")) + " } }").c_str());
    plugin->Create();

    plugin->QueuePayload(Payload("1", { "a" }));
    ASSERT_TRUE(before.WaitForRequests(1));

    Rewrite("{ \"channels\": { " + Channel("a", after.Url("/moved")) + " } }");
    plugin->DispatchEvent(vxPlugin::EVENT_RELOAD);
    // The reload runs at the top of the worker's next pass; a payload queued
    // before then would rightly still go to the old URL.
    ASSERT_TRUE(log.WaitFor("Loading configuration", 2));
    plugin->QueuePayload(Payload("2", { "a" }));
    ASSERT_TRUE(after.WaitForRequests(1));
    EXPECT_EQ(after.Requests()[0].path, "/moved");

    Rewrite("{ \"channels\": { \"a\": ");
    plugin->DispatchEvent(vxPlugin::EVENT_RELOAD);
    ASSERT_TRUE(log.WaitFor("configuration not loaded"));
    plugin->QueuePayload(Payload("3", { "a" }));
    ASSERT_TRUE(after.WaitForRequests(2));
    EXPECT_EQ(after.Requests()[1].body, "3");
    EXPECT_EQ(before.RequestCount(), 1u);
    EXPECT_EQ(log.Count("channel not defined"), 0u);
    plugin->Terminate();
}

TEST_F(WorkerLoop, EventsBeforeTheFirstPassReloadOnce)
{
    vxtest::HttpServer server;
    server.Start();
    auto plugin = Make(("{ \"channels\": { " + Channel("a", server.Url("/a")) + " } }").c_str());
    plugin->DispatchEvent(vxPlugin::EVENT_RELOAD);
    plugin->DispatchEvent(vxPlugin::EVENT_RELOAD);
    plugin->Create();

    // Two payloads in turn: by the time the second arrives the loop has been
    // back to its reload check after the first.
    plugin->QueuePayload(Payload("1", { "a" }));
    ASSERT_TRUE(server.WaitForRequests(1));
    plugin->QueuePayload(Payload("2", { "a" }));
    ASSERT_TRUE(server.WaitForRequests(2));
    EXPECT_EQ(log.Count("w: Loading configuration: " + conf + "\n"), 1u);
    plugin->Terminate();
}

TEST_F(WorkerLoop, PayloadWithoutChannelsIsDroppedSilently)
{
    vxtest::HttpServer server;
    server.Start();
    auto plugin = Make(("{ \"channels\": { " + Channel("a", server.Url("/a")) + " } }").c_str());
    plugin->Create();
    ASSERT_TRUE(log.WaitFor("Loading configuration"));
    const size_t lines_before = log.Lines().size();

    auto empty = Payload("{\"dropped\":true}", {});
    std::weak_ptr<vxPluginSinkPayload> watch = empty;
    plugin->QueuePayload(empty);
    empty.reset();
    plugin->QueuePayload(Payload("{\"kept\":true}", { "a" }));
    ASSERT_TRUE(server.WaitForRequests(1));
    EXPECT_TRUE(vxtest::WaitUntil([&] { return watch.expired(); }));

    EXPECT_EQ(server.RequestCount(), 1u);
    EXPECT_EQ(server.Requests()[0].body, "{\"kept\":true}");
    EXPECT_EQ(log.Lines().size(), lines_before) << log.Text();
    plugin->Terminate();
}

TEST_F(WorkerLoop, StopDuringSlowTransferAbortsIt)
{
    vxtest::RawHttpServer server;
    server.SetResponder([](vxtest::RawHttpServer::Connection &, const vxtest::RawHttpServer::Request &) {
        // Never answers: the transfer could only end by its 60 s limit.
    });
    server.Start();
    auto plugin = Make(("{ \"timeout_transfer\": 60, \"channels\": { " +
        Channel("slow", server.Url("/slow")) + " } }").c_str());
    plugin->Create();
    plugin->QueuePayload(Payload("{}", { "slow" }));
    ASSERT_TRUE(server.WaitForRequests(1));

    auto start = std::chrono::steady_clock::now();
    plugin->Terminate();
    plugin.reset(); // joins the worker
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, 3s);
    // libcurl's "aborted by callback" code.
    EXPECT_EQ(log.Count("w: slow: " + server.Url("/slow") + ": "), 1u) << log.Text();
    EXPECT_EQ(log.Count(" [42]\n"), 1u) << log.Text();
}

TEST_F(WorkerLoop, StopWhileIdleIsPrompt)
{
    auto plugin = Make("{ \"channels\": {} }");
    plugin->Create();
    ASSERT_TRUE(log.WaitFor("Loading configuration"));

    auto start = std::chrono::steady_clock::now();
    plugin->Terminate();
    plugin.reset();
    // Generous: the latency itself is measured by the benchmarks.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(log.Count("w: destroyed\n"), 1u);
}

TEST_F(WorkerLoop, StopBeforeTheThreadRunsLogsOnlyTheBanner)
{
    auto plugin = Make("{ \"channels\": {} }", "early");
    plugin->Terminate();
    plugin->Create();
    plugin.reset();

    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 3u) << log.Text();
    EXPECT_EQ(lines[0], "early: initialized\n");
    EXPECT_EQ(lines[1].rfind("early: Vornix Agent HTTP Sink Plugin v1.2.5", 0), 0u) << lines[1];
    EXPECT_EQ(lines[1].back(), '\n');
    EXPECT_EQ(lines[2], "early: destroyed\n");
}

} // namespace
