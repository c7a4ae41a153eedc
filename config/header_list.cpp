#include "config/channel_config.h"
#include "vxutils.h"

namespace {

// Appends through a temporary so that a failed append leaves the list built
// so far owned (and later freed) rather than lost.
bool Append(htsCurlSlistPtr &list, const std::string &line)
{
    curl_slist *grown = curl_slist_append(list.get(), line.c_str());
    if (grown == nullptr) return false;
    list.release();
    list.reset(grown);
    return true;
}

constexpr const char payload_id_variable[] = "${payload_id}";

// Every line of a channel's header list for a body sent with `encoding`;
// `payload_id`, when given, replaces "${payload_id}" in the header values.
// Null when memory ran out.
htsCurlSlistPtr BuildHeaderList(vxFlags<vxPlugin::DispatchFlags> flags, htsCompression encoding,
    const std::map<std::string, std::string> &headers, const std::string *payload_id)
{
    htsCurlSlistPtr list;
    std::string line;
    bool ok = true;

    if (encoding == htsCompression::Gzip)
        ok = Append(list, "Content-Encoding: gzip");
    else if (encoding == htsCompression::Zstd)
        ok = Append(list, "Content-Encoding: zstd");

    if (ok && flags.IsSet(vxPlugin::FORMAT_JSON))
        ok = Append(list, "Content-Type: application/json");
    else if (ok && flags.IsSet(vxPlugin::FORMAT_MSGPACK))
        ok = Append(list, "Content-Type: application/msgpack");
    else if (ok) {
        // A body of unknown format goes out with no content type at all. The
        // empty line is libcurl's way to drop the form type it would
        // otherwise claim for every POST body; it is never sent itself.
        ok = Append(list, "Content-Type:");
    }

    if (ok) {
        line = "User-Agent: ";
        line.append(vx_get_version_and_features(false));
        ok = Append(list, line);
    }

    for (auto it = headers.begin(); ok && it != headers.end(); ++it) {
        line = it->first;
        line.append(": ");
        if (payload_id == nullptr) {
            line.append(it->second);
        }
        else {
            const std::string &value = it->second;
            const size_t variable = sizeof(payload_id_variable) - 1;
            size_t from = 0;
            for (size_t at; (at = value.find(payload_id_variable, from)) != std::string::npos; from = at + variable) {
                line.append(value, from, at - from);
                line.append(*payload_id);
            }
            line.append(value, from, std::string::npos);
        }
        ok = Append(list, line);
    }

    if (!ok) return nullptr;
    return list;
}

// The encoding on the wire: a body the agent compressed and one the channel
// did in gzip share the gzip list.
htsCompression WireEncoding(vxFlags<vxPlugin::DispatchFlags> flags, htsCompression applied)
{
    return flags.IsSet(vxPlugin::COMPRESS_GZIP) ? htsCompression::Gzip : applied;
}

} // namespace

curl_slist *htsChannelConfig::GetHeaders(vxFlags<vxPlugin::DispatchFlags> flags, htsCompression applied)
{
    // Only the encoding on the wire picks the slot; the format bits count
    // only when the list is first built, so a channel keeps the content type
    // of its first payload of each kind.
    const htsCompression encoding = WireEncoding(flags, applied);
    htsCurlSlistPtr &slot = encoding == htsCompression::Gzip ? header_list_gz
        : encoding == htsCompression::Zstd                   ? header_list_zstd
                                                             : header_list;
    if (slot) return slot.get();

    htsCurlSlistPtr list = BuildHeaderList(flags, encoding, headers, nullptr);
    if (!list) return nullptr;
    slot = std::move(list);
    return slot.get();
}

bool htsChannelConfig::UsesPayloadId() const
{
    for (const auto &[name, value] : headers)
        if (value.find(payload_id_variable) != std::string::npos) return true;
    return false;
}

htsCurlSlistPtr htsChannelConfig::HeadersForPayload(vxFlags<vxPlugin::DispatchFlags> flags, htsCompression applied,
    const std::string &payload_id) const
{
    return BuildHeaderList(flags, WireEncoding(flags, applied), headers, &payload_id);
}
