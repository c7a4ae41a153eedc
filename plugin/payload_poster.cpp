#include <new>
#include <optional>

#include "config/log_text.h"
#include "delivery/payload_id.h"
#include "delivery/post_result.h"
#include "delivery/post_setup.h"
#include "delivery/transfer_callbacks.h"
#include "delivery/transfer_options.h"
#include "plugin/hts_plugin.h"
#include "vxconfig.h"
#include "vxexception.h"
#include "vxlog.h"

namespace {

size_t ResponseSink(char *ptr, size_t size, size_t nmemb, void *userdata) noexcept
{
    // Nothing may unwind through libcurl: a failure here aborts the transfer,
    // which is then logged as a write error.
    try {
        return static_cast<htsPlugin *>(userdata)->AppendData(ptr, size * nmemb);
    }
    catch (...) {
        return 0;
    }
}

} // namespace

htsOptionResult htsPlugin::CreateHandle()
{
    curl_handle.reset(curl_easy_init());
    if (!curl_handle) throw vxException("%s: curl_easy_init: failed", tag.c_str());

    htsHandleCallbacks callbacks;
    callbacks.error_buffer = curl_error;
    callbacks.write_function = ResponseSink;
    callbacks.write_data = this;
    callbacks.progress_function = htsProgressCheck;
    callbacks.progress_data = &terminate;
    htsOptionResult result = htsSetHandleOptions(curl_handle.get(), callbacks);

    // Decided once, for the handle's whole life.
    if (result && vxGlobalConfig::GetInstance().flags.IsSet(vxGlobalConfig::DEBUG_CURL)) {
        callbacks.debug_function = htsDebugTrace;
        callbacks.debug_data = &tag;
        result = htsSetHandleOptions(curl_handle.get(), callbacks);
    }
    return result;
}

void htsPlugin::PostPayload(htsChannelConfig &channel,
    const std::shared_ptr<vxPluginSinkPayload> &payload, htsPayloadBodies *bodies)
{
    if (!curl_handle) {
        htsOptionResult made = CreateHandle();
        if (!made) {
            // A handle without its callbacks or its protocol restriction must
            // not post at all; the next post tries a new one.
            curl_handle.reset();
            htsRefusePost(tag, channel, status_board.Stats(channel.channel), made.code);
            return;
        }
    }
    CURL *ch = curl_handle.get();

    std::optional<htsPayloadBodies> own;
    if (bodies == nullptr && htsPayloadBodies::Wanted(channel, *payload)) bodies = &own.emplace();
    const htsPostBody body = bodies != nullptr ? bodies->For(tag, channel, *payload, compressor) : htsOwnBody(*payload);
    // One id per payload, the same for each of its channels.
    std::string payload_id;
    if (channel.UsesPayloadId()) {
        if (const std::string *tagged = htsPayloadIdOf(payload)) {
            payload_id = *tagged;
        }
        else {
            if (id_payload.owner_before(payload) || payload.owner_before(id_payload) || id_payload.expired()) {
                id_payload = payload;
                id_text = htsNewPayloadId();
            }
            payload_id = id_text;
        }
    }
    // Set on the handle for this post only: the next post sets its own.
    htsCurlSlistPtr own_headers;
    if (!htsPreparePost(tag, channel, ch, *payload, body, status_board.Stats(channel.channel), nullptr, &own_headers,
            payload_id))
        return;

    response.clear();
    curl_error[0] = '\0';
    const CURLcode rc = curl_easy_perform(ch);
    const htsPostOutcome outcome = htsReportPost(tag, channel, ch, rc, curl_error);
    if (htsChannelStats *stats = status_board.Stats(channel.channel)) stats->RecordTransfer(ch, outcome, curl_error);
}

size_t htsPlugin::AppendData(const char *data, size_t length)
{
    // Keep only the head of the body and accept the rest unread, so the
    // transfer completes normally however much the server sends.
    size_t room = (response.size() < htsResponseMax) ? htsResponseMax - response.size() : 0;
    size_t keep = (length < room) ? length : room;
    try {
        response.append(data, keep);
    }
    catch (const std::bad_alloc &e) {
        vx_printf("%s: Error appending %lu bytes to return buffer: %s\n", tag.c_str(),
            static_cast<unsigned long>(length), e.what());
        return 0;
    }
    return length;
}
