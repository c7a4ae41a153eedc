#ifndef HTS_CHANNEL_CONFIG_H
#define HTS_CHANNEL_CONFIG_H

#include <cstdint>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "delivery/curl_ptr.h"
#include "vxplugin.h"

// Everything needed to deliver payloads to one channel. The loader also uses
// one for the values read from the top level of the file (the defaults).
class htsChannelConfig
{
public:
    htsChannelConfig() = default;
    // A copy takes every setting but none of the cached header lists: a list
    // belongs to exactly one record, which frees it.
    htsChannelConfig(const htsChannelConfig &other);
    htsChannelConfig &operator=(const htsChannelConfig &other);
    htsChannelConfig(htsChannelConfig &&other) noexcept = default;
    htsChannelConfig &operator=(htsChannelConfig &&other) noexcept = default;
    virtual ~htsChannelConfig();

    // Fills the record from one JSON object; keys that are absent or of
    // another type leave their member unchanged. Throws the JSON library's
    // type error for a header value that is not a string, and vxException for
    // a header that would break the request's header block.
    void Load(std::map<std::string, std::string> &vars,
        const std::string &name, const nlohmann::json &j);

    // The cached header list for a payload's flags, built on first use;
    // nullptr when it could not be built.
    curl_slist *GetHeaders(vxFlags<vxPlugin::DispatchFlags> flags);

    std::string channel;
    std::string url;
    uint32_t timeout_connect = 30;
    uint32_t timeout_transfer = 300;
    bool tls_verify = true;
    bool tls_version1 = false;
    std::map<std::string, std::string> headers;

    htsCurlSlistPtr header_list;
    htsCurlSlistPtr header_list_gz;

private:
    void CopySettings(const htsChannelConfig &other);
};

#endif
