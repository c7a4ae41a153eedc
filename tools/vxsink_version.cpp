#include "vxsink_version.h"

#include <cstdio>
#include <exception>
#include <memory>

#include <curl/curl.h>

#include "vx_version.h"
#include "vxlog.h"
#include "vxplugin.h"
#include "vxplugin_loader.h"
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

// Asks an instance of the plug-in for its identity. The plug-in is loaded
// and checked as for a run, and the instance is never started.
bool PrintPlugin(const std::string &plugin)
{
    std::string library_name, name, version;
    try {
        vxPluginLibrary library(plugin);
        vxPluginOwner instance = library.Create("version", {});
        instance->GetLibrary(library_name);
        instance->GetName(name);
        instance->GetVersion(version);
    }
    catch (const std::exception &e) {
        vx_printf("vxsink: %s\n", e.what());
        return false;
    }
    printf("plug-in library: %s\n", library_name.c_str());
    printf("plug-in name: %s\n", name.c_str());
    printf("plug-in version: %s\n", version.c_str());
    return true;
}

} // namespace

int vxsinkPrintVersion(const std::string &plugin)
{
    // The first line is the usual "program version", which help2man reads.
    printf("vxsink %s\n", VX_SINK_HTTP_VERSION);
    printf("agent library: %s\n", vx_get_version_and_features(false).c_str());
    printf("libcurl: %s\n", CurlVersion().c_str());
    fflush(stdout);
    if (plugin.empty()) return 0;
    bool ok = PrintPlugin(plugin);
    fflush(stdout);
    return ok ? 0 : 1;
}
