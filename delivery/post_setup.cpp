#include "config/log_text.h"
#include "delivery/payload_id.h"
#include "delivery/post_result.h"
#include "delivery/post_setup.h"
#include "vxlog.h"

namespace {

constexpr const char *no_header_list = "unable to build header list, payload not sent";

} // namespace

void htsRefusePost(const std::string &tag, const htsChannelConfig &channel, htsChannelStats *stats, CURLcode code)
{
    htsReportRefusal(tag, channel, code);
    if (stats != nullptr) stats->RecordRefusal(code, curl_easy_strerror(code));
}

bool htsPreparePost(const std::string &tag, htsChannelConfig &channel, CURL *handle,
    const vxPluginSinkPayload &payload, const htsPostBody &body, htsChannelStats *stats,
    htsOptionResult (*extra)(CURL *, const htsChannelConfig &), htsCurlSlistPtr *own_headers,
    const std::string &payload_id)
{
    curl_slist *headers = nullptr;
    if (own_headers != nullptr && channel.UsesPayloadId()) {
        *own_headers = channel.HeadersForPayload(payload.flags, body.applied,
            payload_id.empty() ? htsNewPayloadId() : payload_id);
        headers = own_headers->get();
    }
    else
        headers = channel.GetHeaders(payload.flags, body.applied);
    if (headers == nullptr) {
        // Sending without the content type and encoding lines would deliver
        // a body the collector cannot read.
        vx_printf("%s%s\n", htsChannelLinePrefix(tag, channel.channel, channel.url).c_str(), no_header_list);
        // A list fails to build only when memory runs out.
        if (stats != nullptr) stats->RecordRefusal(CURLE_OUT_OF_MEMORY, no_header_list);
        return false;
    }
    htsOptionResult set = htsSetPostOptions(handle, channel, headers, body.data, body.length);
    if (set && extra != nullptr) set = extra(handle, channel);
    if (!set) {
        htsRefusePost(tag, channel, stats, set.code);
        return false;
    }
    return true;
}
