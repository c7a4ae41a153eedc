#include <memory>

#include "plugin/hts_plugin.h"
#include "vxlog.h"

#define HTS_EXPORT __attribute__((visibility("default")))

extern "C" {

HTS_EXPORT extern const vxPluginABI vx_plugin_abi;

const vxPluginABI vx_plugin_abi = {
    VX_PLUGIN_ABI_MAGIC,
    sizeof(vxPluginABI),
    VX_ABI_VERSION,
    VX_PLUGIN_VERSION,
    { 1, 0, 2912, 72 },
};

HTS_EXPORT vxPlugin *vxPluginInit(const std::string &tag,
    const std::map<std::string, std::string> &params)
{
    auto plugin = std::make_unique<htsPlugin>(tag, params);
    if (plugin->type != vxPlugin::TYPE_DETECTION && plugin->type != vxPlugin::TYPE_SINK) {
        vx_printf("Invalid plugin type: %s [%u]\n", tag.c_str(),
            static_cast<unsigned>(plugin->type));
        return nullptr;
    }
    return plugin.release();
}

} // extern "C"
