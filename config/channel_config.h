#ifndef HTS_CHANNEL_CONFIG_H
#define HTS_CHANNEL_CONFIG_H

#include <cstdint>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "config/curl_slist.h"
#include "vxexception.h"
#include "vxplugin.h"

// Most posts one channel may have in flight at once: each holds a connection
// and its socket, and the agent's process shares one descriptor limit.
constexpr uint32_t htsMaxInFlightLimit = 1024;

// A value that a key does not take, where a wrong value must stop the load
// instead of being ignored. The loader reports it with the instance's tag.
class htsInvalidValue : public vxException
{
public:
    htsInvalidValue(const std::string &key, const std::string &value);

    std::string key;
    std::string value; // as JSON text
};

// Everything needed to deliver payloads to one channel. The loader also uses
// one for the values read from the top level of the file (the defaults).
//
// A new setting is a member below plus one row of the key table in
// channel_config.cpp; copying, inheriting, loading and describing follow
// from the table.
class htsChannelConfig
{
public:
    htsChannelConfig() = default;
    // A copy takes every setting but none of the cached header lists (see
    // htsHeaderListSlot).
    htsChannelConfig(const htsChannelConfig &other) = default;
    htsChannelConfig &operator=(const htsChannelConfig &other) = default;
    htsChannelConfig(htsChannelConfig &&other) noexcept = default;
    htsChannelConfig &operator=(htsChannelConfig &&other) noexcept = default;
    virtual ~htsChannelConfig();

    // Fills the record from one JSON object; keys that are absent or of
    // another type leave their member unchanged. Throws the JSON library's
    // type error for a header value that is not a string, vxException for a
    // header that would break the request's header block, and htsInvalidValue
    // for a key that must be given right and is not.
    void Load(std::map<std::string, std::string> &vars,
        const std::string &name, const nlohmann::json &j);

    // Takes every setting that a channel inherits from the file's top level.
    void InheritFrom(const htsChannelConfig &defaults);

    // Every setting by its configuration key (the channel name under
    // "channel"), for tests, tools and status.
    nlohmann::json Describe() const;

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
    // Parallel delivery only: posts in flight at once, and body bytes held
    // waiting, for this channel.
    uint32_t max_in_flight = 1;
    uint64_t max_backlog_bytes = 64u << 20;

    htsHeaderListSlot header_list;
    htsHeaderListSlot header_list_gz;
};

#endif
