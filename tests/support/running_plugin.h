#ifndef VX_RUNNING_PLUGIN_H
#define VX_RUNNING_PLUGIN_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "test_support.h"
#include "vxplugin.h"
#include "vxplugin_loader.h"

class htsPlugin;

namespace vxtest {

// The built plug-in, opened and checked by the agent library's loader on
// first use and kept for the rest of the process, as the agent keeps it:
// instances of earlier tests may have left libcurl state behind. Throws
// the loader's refusal when it cannot be loaded.
const vxPluginLibrary &BuiltPlugin();

// One instance of the plug-in driven as the agent drives it: made by the
// exported factory for a configuration file of its own, started with
// Create(), fed through QueuePayload() and DispatchEvent(), stopped with
// Terminate() and deleted. The configuration loads only while a global
// configuration is published (GlobalConfigScope).
class RunningPlugin
{
public:
    explicit RunningPlugin(const std::string &config, const std::string &tag = "http-test");
    RunningPlugin(const RunningPlugin &) = delete;
    RunningPlugin &operator=(const RunningPlugin &) = delete;

    // Makes the instance, not started yet: events dispatched now wait for
    // its first pass.
    void Make();
    // Starts its thread, making the instance first if need be; the first
    // pass loads the file.
    void Start();

    // Replaces the file in one step (write aside, then rename), so a reload
    // never reads half a file.
    void WriteConfig(const std::string &config);
    const std::string &ConfigPath() const { return path; }
    const std::string &Tag() const { return tag; }

    // The worker holds a payload until it has posted it to every channel
    // and drained the queue: the weak reference expires then.
    std::weak_ptr<vxPluginSinkPayload> Queue(const std::shared_ptr<vxPluginSinkPayload> &payload);
    std::weak_ptr<vxPluginSinkPayload> Queue(const std::string &body,
        const std::set<std::string> &channels, uint32_t flags = vxPlugin::FORMAT_JSON);
    void Reload();

    // Asks the thread to stop and waits for it to end; returns how long that
    // took. The instance stays alive for inspection until Delete().
    std::chrono::milliseconds Terminate();
    // Stops the thread (if still running) and deletes the instance; also
    // done when this object goes.
    void Delete();

    vxPluginSink &Sink() { return *plugin; }
    // The instance's own state. Read it only once the thread has ended.
    htsPlugin &Object();

private:
    TempDir dir;
    std::string tag;
    std::string path;
    vxPluginSinkOwner plugin;
    bool started = false;
};

// What a test that drives the plug-in through its exports stands in: the
// built library loaded, every log line captured (debug lines too), and a
// global configuration published. `Base` is testing::Test or one of
// testing::TestWithParam.
template <class Base = testing::Test>
class PluginFixture : public Base
{
protected:
    void SetUp() override { ASSERT_NO_THROW(BuiltPlugin()); }

    LogCapture log;
    GlobalConfigScope global;
};

} // namespace vxtest

#endif
