// The configuration file as the loader reads it.
//
// Input: the bytes of the file. Each run first puts a known good
// configuration in force (and builds its header lists), then loads the input.
//
// Properties:
// - only the loader's own exceptions (vxException) and the JSON library's
//   type errors leave LoadConfig(), each with a message;
// - after a failed load the previous configuration is in force untouched:
//   the same records, settings and cached header lists;
// - after a good load every channel is named after its key, has a URL, and
//   the defaults record is named "defaults".
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "plugin/hts_plugin.h"
#include "vxconfig.h"
#include "vxexception.h"

namespace {

const char *const kGoodConfig = R"({
    // comments are allowed
    "timeout_connect": 7,
    "tls_version1": true,
    "channels": {
        "a": { "url": "http://127.0.0.1:9/${uuid_site}", "headers": { "X-Site": "${site}" } },
        "b": { "url": "http://127.0.0.1:9/b", "timeout_transfer": 5 },
        "off": { "enable": false }
    }
})";

struct Snapshot {
    const htsChannelConfig *record;
    std::string name, url;
    uint32_t timeout_connect, timeout_transfer;
    bool tls_verify, tls_version1;
    std::map<std::string, std::string> headers;
    const curl_slist *list, *list_gz;
};

Snapshot Take(const htsChannelConfig &r)
{
    return { &r, r.channel, r.url, r.timeout_connect, r.timeout_transfer, r.tls_verify,
        r.tls_version1, r.headers, r.header_list.get(), r.header_list_gz.get() };
}

bool Same(const Snapshot &s, const htsChannelConfig &r)
{
    return s.record == &r && s.name == r.channel && s.url == r.url &&
        s.timeout_connect == r.timeout_connect && s.timeout_transfer == r.timeout_transfer &&
        s.tls_verify == r.tls_verify && s.tls_version1 == r.tls_version1 &&
        s.headers == r.headers && s.list == r.header_list.get() &&
        s.list_gz == r.header_list_gz.get();
}

std::vector<std::pair<std::string, Snapshot>> TakeAll(const htsPlugin &plugin)
{
    std::vector<std::pair<std::string, Snapshot>> all;
    for (const auto &[name, record] : plugin.channels) all.emplace_back(name, Take(record));
    return all;
}

struct Harness {
    vxGlobalConfigScope global;
    std::string dir;
    std::string path;
    std::unique_ptr<htsPlugin> plugin;

    Harness()
    {
        char pattern[] = "/tmp/vx-fuzz-config-XXXXXX";
        if (mkdtemp(pattern) == nullptr) abort();
        dir = pattern;
        path = dir + "/sink-http.json";
        global.config.conf_vars["${site}"] = "lab";
        global.config.SetUUID(UUID_SITE, "site-1\n");
        plugin = std::make_unique<htsPlugin>("fuzz",
            std::map<std::string, std::string>{ { "conf_filename", path } });
    }

    ~Harness()
    {
        plugin.reset();
        unlink(path.c_str());
        rmdir(dir.c_str());
    }

    void Write(const uint8_t *data, size_t size) const
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
        if (!out) abort();
    }
};

Harness &GetHarness()
{
    static Harness harness;
    return harness;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Harness &h = GetHarness();
    htsPlugin &plugin = *h.plugin;

    h.Write(reinterpret_cast<const uint8_t *>(kGoodConfig), strlen(kGoodConfig));
    plugin.LoadConfig();
    vxfuzz::Check(plugin.channels.size() == 2, "the good configuration did not load");
    for (auto &[name, record] : plugin.channels) {
        record.GetHeaders(vxFlags<vxPlugin::DispatchFlags>(vxPlugin::FORMAT_JSON));
        record.GetHeaders(vxFlags<vxPlugin::DispatchFlags>(vxPlugin::FORMAT_JSON) | vxPlugin::COMPRESS_GZIP);
    }
    const Snapshot defaults_before = Take(plugin.defaults);
    const auto channels_before = TakeAll(plugin);

    h.Write(data, size);
    bool failed = false;
    std::string failure;
    try {
        plugin.LoadConfig();
    }
    catch (const vxException &e) {
        failed = true;
        failure = e.what();
        vxfuzz::Check(!failure.empty(), "loader exception without a message");
    }
    catch (const nlohmann::json::type_error &e) {
        failed = true;
        failure = e.what();
        vxfuzz::Check(strstr(e.what(), "type must be ") != nullptr, "unexpected type error",
            failure);
    }
    // Anything else escaping the loader is a finding: the fuzzer reports it.

    if (failed) {
        vxfuzz::Check(Same(defaults_before, plugin.defaults), "defaults changed by a failed load");
        vxfuzz::Check(plugin.channels.size() == channels_before.size(),
            "channels changed by a failed load");
        for (const auto &[name, snapshot] : channels_before) {
            auto it = plugin.channels.find(name);
            vxfuzz::Check(it != plugin.channels.end() && Same(snapshot, it->second),
                "a channel changed by a failed load", name);
        }
        return 0;
    }

    vxfuzz::Check(plugin.defaults.channel == "defaults", "defaults record misnamed");
    for (const auto &[name, record] : plugin.channels) {
        vxfuzz::Check(record.channel == name, "channel record misnamed", name);
        vxfuzz::Check(!record.url.empty(), "channel loaded without a url", name);
        vxfuzz::Check(record.header_list == nullptr && record.header_list_gz == nullptr,
            "a new record came with a header list", name);
    }
    return 0;
}
