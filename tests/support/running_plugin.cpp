#include <dlfcn.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "plugin/hts_plugin.h"
#include "running_plugin.h"

namespace vxtest {

vxPluginInitFunction PluginFactory()
{
    static const vxPluginInitFunction init = [] {
        void *handle = dlopen(VX_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return vxPluginInitFunction(nullptr);
        return reinterpret_cast<vxPluginInitFunction>(dlsym(handle, "vxPluginInit"));
    }();
    return init;
}

std::shared_ptr<vxPluginSinkPayload> MakePayload(const std::string &body,
    const std::set<std::string> &channels, uint32_t flags)
{
    return std::make_shared<vxPluginSinkPayload>(body.size(),
        reinterpret_cast<const uint8_t *>(body.data()), channels,
        vxFlags<vxPlugin::DispatchFlags>(flags));
}

RunningPlugin::RunningPlugin(const std::string &config, const std::string &tag)
    : tag(tag), path((dir.Path() / "sink-http.json").string())
{
    WriteConfig(config);
}

RunningPlugin::~RunningPlugin() { Delete(); }

void RunningPlugin::Start()
{
    if (plugin) throw std::logic_error("plug-in already started");
    vxPluginInitFunction init = PluginFactory();
    if (init == nullptr) throw std::runtime_error(std::string("cannot load the plug-in: ") + dlerror());
    vxPlugin *made = init(tag, { { "conf_filename", path } });
    if (made == nullptr) throw std::runtime_error("the factory refused the instance");
    auto *sink = dynamic_cast<vxPluginSink *>(made);
    if (sink == nullptr) {
        delete made;
        throw std::runtime_error("the factory made no sink");
    }
    plugin.reset(sink);
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
    return Queue(MakePayload(body, channels, flags));
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

void RunningPlugin::Delete()
{
    if (!plugin) return;
    if (started) plugin->Terminate();
    plugin.reset();
}

htsPlugin &RunningPlugin::Object()
{
    // The class is hidden inside the library; its layout is the one this
    // program was compiled against.
    return static_cast<htsPlugin &>(*plugin);
}

} // namespace vxtest
