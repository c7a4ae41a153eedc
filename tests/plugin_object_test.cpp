// The plug-in as the agent sees it: loaded with dlopen, created through its
// factory, answering its identity, recording events, and destroyed.
#include <cstring>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "plugin/hts_plugin.h"
#include "running_plugin.h"
#include "test_support.h"
#include "vxtesting.h"

namespace {

// The built library, loaded as the agent loads it, and its factory.
class PluginExports : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_NO_THROW(lib = &vxtest::BuiltPlugin());
        init = lib->Factory();
    }

    const vxPluginLibrary *lib = nullptr;
    vxPluginInitFunction init = nullptr;
};

TEST_F(PluginExports, AbiRecordBytes)
{
    const auto *abi = static_cast<const unsigned char *>(lib->Symbol("vx_plugin_abi"));
    ASSERT_NE(abi, nullptr);
    const unsigned char expected[32] = {
        'B', 'A', 'X', 'V', 32, 0, 0, 0, 25, 0, 0, 0, 0x09, 0x03, 0x23, 0x20,
        1, 0, 0, 0, 0, 0, 0, 0, 0x60, 0x0b, 0, 0, 72, 0, 0, 0,
    };
    EXPECT_EQ(memcmp(abi, expected, sizeof(expected)), 0);
    EXPECT_EQ(lib->Symbol("_ZN9htsPlugin10LoadConfigEv"), nullptr) << "internals must stay hidden";
}

TEST_F(PluginExports, FactoryCreatesIdentifiedInstance)
{
    vxtest::LogCapture log;

    vxPlugin *plugin = init("http-test", { { "conf_filename", "/nonexistent/sink-http.json" } });
    ASSERT_NE(plugin, nullptr);
    EXPECT_EQ(plugin->type, vxPlugin::TYPE_SINK);
    EXPECT_EQ(plugin->conf_filename, "/nonexistent/sink-http.json");

    std::string library, name, version;
    plugin->GetLibrary(library);
    plugin->GetName(name);
    plugin->GetVersion(version);
    EXPECT_EQ(library, "vornix-sink-http");
    EXPECT_EQ(name, "Vornix Agent HTTP Sink Plugin");
    EXPECT_EQ(version, "1.2.5");

    // Never started: its identity and file, nothing loaded, no channel; what
    // the caller's value held before is replaced.
    nlohmann::json status = { { "x", 1 } };
    plugin->GetStatus(status);
    EXPECT_FALSE(status.contains("x"));
    EXPECT_EQ(status["library"], "vornix-sink-http");
    EXPECT_EQ(status["version"], "1.2.5");
    EXPECT_EQ(status["tag"], "http-test");
    EXPECT_EQ(status["delivery"], "serial");
    EXPECT_EQ(status["configuration"]["file"], "/nonexistent/sink-http.json");
    EXPECT_EQ(status["configuration"]["loads"], 0);
    EXPECT_EQ(status["configuration"]["failed_loads"], 0);
    EXPECT_TRUE(status["configuration"]["loaded_at"].is_null());
    EXPECT_EQ(status["channels"], nlohmann::json::object());
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{ "http-test: initialized\n" }));

    log.Clear();
    plugin->DisplayStatus(status);
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{ "http-test: vornix-sink-http 1.2.5, serial delivery\n"
                                                      "http-test: configuration /nonexistent/sink-http.json: "
                                                      "loaded -, 0 loads, 0 failed\n"
                                                      "http-test: no channels in force\n" }));

    log.Clear();
    delete plugin; // never started: joins at once
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{ "http-test: destroyed\n" }));
}

TEST_F(PluginExports, WrongTypeIsRefused)
{
    vxtest::LogCapture log;

    for (int type : { 0, 3, 255 }) {
        log.Clear();
        vx_testing_force_plugin_type(type);
        EXPECT_EQ(init("odd", {}), nullptr);
        vx_testing_force_plugin_type(-1);
        EXPECT_EQ(log.Lines(), (std::vector<std::string>{ "odd: initialized\n",
                                   "Invalid plugin type: odd [" + std::to_string(type) + "]\n",
                                   "odd: destroyed\n" }));
    }
    vx_testing_force_plugin_type(1);
    vxPlugin *detection = init("det", {});
    vx_testing_force_plugin_type(-1);
    EXPECT_NE(detection, nullptr);
    delete detection;
}

TEST(PluginObject, ConstructionAndEvents)
{
    vxtest::LogCapture log;
    htsPlugin plugin("obj", {});
    EXPECT_EQ(log.Count("obj: initialized\n"), 1u);
    EXPECT_TRUE(plugin.reload_pending.load());
    EXPECT_TRUE(plugin.channels.empty());
    EXPECT_EQ(plugin.curl_handle, nullptr);
    EXPECT_EQ(plugin.defaults.timeout_connect, 30u);
    EXPECT_EQ(plugin.defaults.timeout_transfer, 300u);
    EXPECT_TRUE(plugin.defaults.tls_verify);
    EXPECT_FALSE(plugin.defaults.tls_version1);

    plugin.reload_pending = false;
    for (int event : { 1, 2, -1, 1000 }) plugin.DispatchEvent(static_cast<vxPlugin::Event>(event));
    EXPECT_FALSE(plugin.reload_pending.load());
    plugin.DispatchEvent(vxPlugin::EVENT_RELOAD, &plugin);
    EXPECT_TRUE(plugin.reload_pending.load());
}

TEST(PluginObject, DestroyingARunningInstanceStopsItsThread)
{
    vxtest::LogCapture log;
    ASSERT_NO_THROW(vxtest::BuiltPlugin());
    vxPlugin *plugin = vxtest::BuiltPlugin().Create("running", {}).release();
    plugin->Create();
    ASSERT_TRUE(log.WaitFor("running: configuration not loaded"));

    // No Terminate(): the destructor must stop the thread itself.
    auto deleted = std::async(std::launch::async, [plugin] { delete plugin; });
    if (deleted.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ADD_FAILURE() << "delete without Terminate() did not return";
        plugin->Terminate(); // unblock the join so the test can end
    }
    deleted.get();
    EXPECT_EQ(log.Count("running: destroyed\n"), 1u);
}

} // namespace
