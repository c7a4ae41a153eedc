#include "vxsink_version.h"

#include <dlfcn.h>

#include <cstdio>
#include <exception>
#include <memory>

#include <curl/curl.h>

#include "vx_version.h"
#include "vxlog.h"
#include "vxplugin.h"
#include "vxutils.h"

namespace {

// The libcurl this process runs with, which is also the plug-in's: the
// loader maps one copy per soname.
std::string CurlVersion()
{
    const curl_version_info_data *info = curl_version_info(CURLVERSION_NOW);
    if (info == nullptr || info->version == nullptr) return "unknown";
    std::string text = info->version;
    std::string with;
    if (info->ssl_version != nullptr) with = info->ssl_version;
    if (info->libz_version != nullptr) with += (with.empty() ? "" : ", ") + std::string("zlib/") + info->libz_version;
    if (!with.empty()) text += " (" + with + ")";
    return text;
}

bool Fail(const std::string &plugin, const std::string &why)
{
    vx_printf("vxsink: %s: %s\n", plugin.c_str(), why.c_str());
    return false;
}

// Asks an instance of the plug-in for its identity. The library stays
// loaded until the process ends, as for a run.
bool PrintPlugin(const std::string &plugin, vxsinkAbiCheck check)
{
    void *library = dlopen(plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char *why = dlerror();
        return Fail(plugin, std::string("cannot load plug-in: ") + (why ? why : "unknown error"));
    }
    const void *abi = dlsym(library, "vx_plugin_abi");
    if (abi == nullptr) return Fail(plugin, "not a plug-in: no vx_plugin_abi record");
    if (std::string why = check(abi); !why.empty()) return Fail(plugin, "refused: " + why);
    auto init = reinterpret_cast<vxPluginInitFunction>(dlsym(library, "vxPluginInit"));
    if (init == nullptr) return Fail(plugin, "not a plug-in: no vxPluginInit factory");

    // Never started, so destroying it only joins a thread that never ran.
    std::unique_ptr<vxPlugin> instance;
    try {
        instance.reset(init("version", {}));
    }
    catch (const std::exception &e) {
        return Fail(plugin, std::string("factory failed: ") + e.what());
    }
    if (!instance) return Fail(plugin, "factory refused to create instance 'version'");

    std::string library_name, name, version;
    instance->GetLibrary(library_name);
    instance->GetName(name);
    instance->GetVersion(version);
    printf("plug-in library: %s\n", library_name.c_str());
    printf("plug-in name: %s\n", name.c_str());
    printf("plug-in version: %s\n", version.c_str());
    return true;
}

} // namespace

int vxsinkPrintVersion(const std::string &plugin, vxsinkAbiCheck check)
{
    // The first line is the usual "program version", which help2man reads.
    printf("vxsink %s\n", VX_SINK_HTTP_VERSION);
    printf("agent library: %s\n", vx_get_version_and_features(false).c_str());
    printf("libcurl: %s\n", CurlVersion().c_str());
    fflush(stdout);
    if (plugin.empty()) return 0;
    bool ok = PrintPlugin(plugin, check);
    fflush(stdout);
    return ok ? 0 : 1;
}
