#include <new>

#include "config/log_text.h"
#include "delivery/post_result.h"
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
    const std::shared_ptr<vxPluginSinkPayload> &payload)
{
    if (!curl_handle) {
        htsOptionResult made = CreateHandle();
        if (!made) {
            // A handle without its callbacks or its protocol restriction must
            // not post at all; the next post tries a new one.
            curl_handle.reset();
            htsReportRefusal(tag, channel, made.code);
            RecordRefusal(channel, made.code, curl_easy_strerror(made.code));
            return;
        }
    }
    CURL *ch = curl_handle.get();

    curl_slist *headers = channel.GetHeaders(payload->flags);
    if (headers == nullptr) {
        // Sending without the content type and encoding lines would deliver
        // a body the collector cannot read.
        vx_printf("%s%s\n", htsChannelLinePrefix(tag, channel.channel, channel.url).c_str(),
            "unable to build header list, payload not sent");
        // A list fails to build only when memory runs out.
        RecordRefusal(channel, CURLE_OUT_OF_MEMORY, "unable to build header list, payload not sent");
        return;
    }

    htsOptionResult set = htsSetPostOptions(ch, channel, headers, *payload);
    if (!set) {
        htsReportRefusal(tag, channel, set.code);
        RecordRefusal(channel, set.code, curl_easy_strerror(set.code));
        return;
    }

    response.clear();
    curl_error[0] = '\0';
    const CURLcode rc = curl_easy_perform(ch);
    const htsPostOutcome outcome = htsReportPost(tag, channel, ch, rc, curl_error);
    if (htsChannelStats *stats = status_board.Stats(channel.channel)) stats->RecordTransfer(ch, outcome, curl_error);
}

void htsPlugin::RecordRefusal(const htsChannelConfig &channel, CURLcode code, const char *reason)
{
    if (htsChannelStats *stats = status_board.Stats(channel.channel)) stats->RecordRefusal(code, reason);
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
