#ifndef HTS_CHANNEL_CONFIG_H
#define HTS_CHANNEL_CONFIG_H

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/bearer_token.h"
#include "config/curl_slist.h"
#include "vxplugin.h"

// Most posts one channel may have in flight at once: each holds a connection
// and its socket, and the agent's process shares one descriptor limit.
constexpr uint32_t htsMaxInFlightLimit = 1024;

// The most an adaptive in-flight limit ("max_in_flight": "auto") grows to
// unless "max_in_flight_limit" says otherwise.
constexpr uint32_t htsDefaultInFlightCeiling = 64;

// The most fallback URLs a channel has beside its own.
constexpr size_t htsMaxFallbackUrls = 16;

// The lowest TLS version a channel accepts, beyond libcurl's own choice.
enum class htsTlsMinVersion : uint8_t { Default, Tls1_2, Tls1_3 };

// The HTTP version a channel asks for.
enum class htsHttpVersion : uint8_t {
    Default,
    Http1_1,
    Http2,               // over TLS where the collector offers it
    Http2PriorKnowledge, // cleartext, without asking first
};

// How a channel compresses the bodies the agent did not compress itself.
enum class htsCompression : uint8_t { None, Gzip, Zstd };

// The levels an encoding takes, and the one it uses when the file names
// none (a level of 0).
struct htsCompressionLevels {
    uint32_t lowest;
    uint32_t highest;
    uint32_t fallback;
};

htsCompressionLevels htsLevelsOf(htsCompression encoding) noexcept;

// The key table's bound on "compression_level", whatever the encoding: the
// highest level of any of them.
constexpr uint32_t htsMaxCompressionLevel = 19;

// Whether the loaded libcurl can post again on an HTTP/2 connection it
// opened with prior knowledge: before 8.0 every post after the first on such
// a connection fails ("Error in the HTTP2 framing layer"), so each post then
// opens a connection of its own.
bool htsCurlReusesPriorKnowledge() noexcept;

// A value of one key that a record refuses. The text names the key, but not
// the instance: the loader, which knows the tag, puts that in front.
class htsKeyError : public std::runtime_error
{
public:
    htsKeyError(std::string key, const std::string &message)
        : std::runtime_error(message), key_name(std::move(key)) { }
    const std::string &Key() const noexcept { return key_name; }

private:
    std::string key_name;
};

// Where a configuration key may stand.
enum class htsKeyScope : uint8_t {
    TopLevel = 1,
    Channel = 2,
    Both = 3,
};

// One key of the configuration file, for the loader's warnings, tools and
// the schema's test.
struct htsConfigKey {
    std::string name;
    htsKeyScope scope;
    // The JSON Schema type of its value ("integer", "boolean", "string",
    // "object", "array").
    std::string type;
    // The texts a choice key accepts; empty for any other key.
    std::vector<std::string> choices;
};

// Every key of the channel record. Each stands at both levels: at the top
// level as the default (for "url" and "headers", read but given to no
// channel).
std::vector<htsConfigKey> htsChannelKeys();

// What is wrong with the value of a key that Load passes over without a
// word (`"timeout_connect": "30"`): one text per such key of `j`, in table
// order, such as `"timeout_connect" is a string, expected a non-negative
// integer`. Values are never quoted.
std::vector<std::string> htsSkippedValues(const nlohmann::json &j);

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

    // Fills the record from one JSON object; absent keys leave their member
    // unchanged, and so do keys of the first release given a value of
    // another type. Throws the JSON library's type error for a header value
    // that is not a string, vxException for a header that would break the
    // request's header block, and htsKeyError for a value of a later key that
    // is of the wrong type, out of its range, or names a file or folder that
    // cannot be read.
    void Load(std::map<std::string, std::string> &vars,
        const std::string &name, const nlohmann::json &j);

    // Takes every setting that a channel inherits from the file's top level.
    void InheritFrom(const htsChannelConfig &defaults);

    // Every setting by its configuration key (the channel name under
    // "channel"), for tests, tools and status; null for a choice left to
    // libcurl. Holds the settings as they are, secrets included: not a text
    // for the log.
    nlohmann::json Describe() const;

    // Describe() fit to show an operator: the URL and the proxy with their
    // passwords masked, secrets as "***" when set, and of the headers only
    // their names.
    nlohmann::json DescribeMasked() const;

    // The cached header list for a payload's flags and the encoding the
    // plug-in gave its body (none: sent as the agent made it), built on
    // first use; nullptr when it could not be built.
    curl_slist *GetHeaders(vxFlags<vxPlugin::DispatchFlags> flags,
        htsCompression applied = htsCompression::None);

    // Whether a header value holds "${payload_id}": such a channel builds a
    // list for each post (HeadersForPayload) rather than using the cached one.
    bool UsesPayloadId() const;
    // The header list of one post (its body sent with `applied`, as for
    // GetHeaders), with "${payload_id}" in header values replaced by
    // `payload_id`; null when it could not be built. The caller owns it and
    // keeps it until the post has ended.
    htsCurlSlistPtr HeadersForPayload(vxFlags<vxPlugin::DispatchFlags> flags, htsCompression applied,
        const std::string &payload_id) const;

    std::string channel;
    std::string url;
    uint32_t timeout_connect = 30;
    uint32_t timeout_transfer = 300;
    bool tls_verify = true;
    bool tls_version1 = false;
    std::map<std::string, std::string> headers;

    htsHeaderListSlot header_list;
    htsHeaderListSlot header_list_gz;
    htsHeaderListSlot header_list_zstd;

    // TLS beyond verification on or off. An empty text leaves the choice to
    // libcurl (the system's authorities, no client certificate, no pin).
    std::string tls_ca_file;
    std::string tls_ca_path;
    std::string tls_client_cert;
    std::string tls_client_key;
    std::string tls_client_key_password;
    htsTlsMinVersion tls_min_version = htsTlsMinVersion::Default;
    std::string tls_pinned_public_key;
    // Absent: libcurl's choice (the proxy variables of the environment);
    // empty: straight to the collector whatever the environment says.
    std::optional<std::string> proxy;
    htsHttpVersion http_version = htsHttpVersion::Default;
    // HTTP statuses that end a post without a line, ascending.
    std::vector<long> success_codes{ 200 };
    // Parallel delivery only: posts in flight at once, and body bytes held
    // waiting, for this channel.
    uint32_t max_in_flight = 1;
    uint64_t max_backlog_bytes = 64u << 20;
    // Parallel delivery only: "max_in_flight": "auto" lets the channel find
    // its own limit between 1 and max_in_flight_limit as its collector
    // answers; max_in_flight then holds that ceiling, so that everything
    // sized by it (connections kept, descriptors) allows for the most.
    bool max_in_flight_auto = false;
    uint32_t max_in_flight_limit = htsDefaultInFlightCeiling;
    // Parallel delivery only: URLs that take the channel's posts, in order,
    // while the one before them is down (variables expanded).
    std::vector<std::string> fallback_urls;
    // Parallel delivery only: a connection older than this, or that carried
    // this many posts, is not used for another one (0: no limit), so that
    // posts spread again over collectors behind a balancer.
    uint64_t connection_max_age_ms = 0;
    uint32_t connection_max_requests = 0;
    // Parallel delivery only: how often a post that may not have reached the
    // collector is tried again (0: never), and the wait before the next try,
    // doubling from the first value up to the second.
    uint32_t retries = 0;
    uint64_t retry_backoff_ms = 500;
    uint64_t retry_backoff_max_ms = 30000;
    // Parallel delivery only: where payloads that could not be delivered are
    // kept for a later replay (empty: nowhere), and the most bytes kept there.
    std::string spool_dir;
    uint64_t spool_max_bytes = uint64_t{ 1 } << 30;
    // Parallel delivery with a spool only: whether the engine sends spooled
    // payloads again by itself once the collector answers (false: they wait
    // for `vxsink --replay`).
    bool spool_drain = true;

    // The encoding of the bodies the agent did not compress, and its level
    // (0: the encoding's own default, see htsLevelsOf).
    htsCompression compression = htsCompression::None;
    uint32_t compression_level = 0;
    // The level a compressed body is made at.
    uint32_t CompressionLevel() const noexcept;

    // AWS Signature Version 4 for every post: libcurl's provider text
    // ("aws:amz:REGION:SERVICE"; empty: no signing) and the key it signs
    // with.
    std::string aws_sigv4;
    std::string aws_access_key_id;
    std::string aws_secret_access_key;
    // A file holding the bearer token sent with every post (empty: none),
    // and the token as the loader opened it for this channel: copies of the
    // record share it, so a rotation is seen by all of them.
    std::string bearer_token_file;
    std::shared_ptr<htsBearerToken> bearer_token;

    bool Succeeded(long status) const noexcept;
};

#endif
