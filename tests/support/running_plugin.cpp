#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "plugin/hts_plugin.h"
#include "running_plugin.h"

namespace vxtest {

const vxPluginLibrary &BuiltPlugin()
{
    static const vxPluginLibrary library(VX_PLUGIN_PATH);
    return library;
}

RunningPlugin::RunningPlugin(const std::string &config, const std::string &tag)
    : tag(tag), path((dir.Path() / "sink-http.json").string())
{
    WriteConfig(config);
}

void RunningPlugin::Make()
{
    if (plugin) throw std::logic_error("plug-in already made");
    plugin = BuiltPlugin().CreateSink(tag, { { "conf_filename", path } });
}

void RunningPlugin::Start()
{
    if (started) throw std::logic_error("plug-in already started");
    if (!plugin) Make();
    plugin->Create();
    started = true;
}

void RunningPlugin::WriteConfig(const std::string &config)
{
    std::string aside = path + ".new";
    {
        std::ofstream out(aside, std::ios::binary | std::ios::trunc);
        out << config;
        if (!out.flush()) throw std::runtime_error("cannot write " + aside);
    }
    if (std::rename(aside.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot rename " + aside);
}

std::weak_ptr<vxPluginSinkPayload> RunningPlugin::Queue(
    const std::shared_ptr<vxPluginSinkPayload> &payload)
{
    plugin->QueuePayload(payload);
    return payload;
}

std::weak_ptr<vxPluginSinkPayload> RunningPlugin::Queue(const std::string &body,
    const std::set<std::string> &channels, uint32_t flags)
{
    return Queue(MakePayload(body, flags, channels));
}

void RunningPlugin::Reload() { plugin->DispatchEvent(vxPlugin::EVENT_RELOAD); }

std::chrono::milliseconds RunningPlugin::Terminate()
{
    auto start = std::chrono::steady_clock::now();
    if (plugin) {
        plugin->Terminate();
        plugin->Join();
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
}

void RunningPlugin::Delete() { plugin.reset(); }

htsPlugin &RunningPlugin::Object()
{
    // The class is hidden inside the library; its layout is the one this
    // program was compiled against.
    return static_cast<htsPlugin &>(*plugin);
}

} // namespace vxtest
