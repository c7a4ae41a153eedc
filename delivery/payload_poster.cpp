#include <mutex>
#include <new>

#include "plugin/hts_plugin.h"
#include "vxconfig.h"
#include "vxexception.h"
#include "vxlog.h"

namespace {

// Redirects past this many are a loop; without a limit one would hold the
// only worker, and every payload behind it, until the transfer time limit.
constexpr long max_redirects = 30;

// Several instances may start their first transfer at once on their own
// threads; the library's global set-up must happen exactly once before that.
void InitCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t ResponseSink(char *ptr, size_t size, size_t nmemb, void *userdata)
{
    return static_cast<htsPlugin *>(userdata)->AppendData(ptr, size * nmemb);
}

int ProgressCheck(void *clientp, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    // Non-zero makes libcurl abort the transfer, so a stop request cuts short
    // a post in progress.
    return static_cast<htsPlugin *>(clientp)->TerminateRequested() ? 1 : 0;
}

int DebugTrace(CURL *, curl_infotype type, char *data, size_t size, void *userptr)
{
    const auto *plugin = static_cast<htsPlugin *>(userptr);
    try {
        if (!vxGlobalConfig::GetInstance().flags.IsSet(vxGlobalConfig::DEBUG_CURL))
            return 0;
    }
    catch (const vxException &) {
        return 0;
    }

    const char *tag = plugin->GetTag().c_str();
    const auto bytes = static_cast<unsigned long>(size);
    switch (type) {
    case CURLINFO_TEXT:
        vx_dprintf("%s: %s", tag, std::string(data, size).c_str());
        break;
    case CURLINFO_HEADER_IN:
        vx_dprintf("%s: <-- %s", tag, std::string(data, size).c_str());
        break;
    case CURLINFO_HEADER_OUT:
        vx_dprintf("%s: --> %s", tag, std::string(data, size).c_str());
        break;
    case CURLINFO_DATA_IN:
        vx_dprintf("%s: <-- %lu data bytes\n", tag, bytes);
        break;
    case CURLINFO_DATA_OUT:
        vx_dprintf("%s: --> %lu data bytes\n", tag, bytes);
        break;
    case CURLINFO_SSL_DATA_IN:
        vx_dprintf("%s: <-- %lu SSL bytes\n", tag, bytes);
        break;
    case CURLINFO_SSL_DATA_OUT:
        vx_dprintf("%s: --> %lu SSL bytes\n", tag, bytes);
        break;
    default:
        break;
    }
    return 0;
}

} // namespace

void htsPlugin::CreateHandle()
{
    InitCurlOnce();

    curl_handle.reset(curl_easy_init());
    if (!curl_handle) throw vxException("%s: curl_easy_init: failed", tag.c_str());

    CURL *ch = curl_handle.get();
    curl_easy_setopt(ch, CURLOPT_ERRORBUFFER, curl_error);
    curl_easy_setopt(ch, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(ch, CURLOPT_POST, 1L);
    curl_easy_setopt(ch, CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_301 | CURL_REDIR_POST_302));
    curl_easy_setopt(ch, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(ch, CURLOPT_WRITEFUNCTION, ResponseSink);
    curl_easy_setopt(ch, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(ch, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(ch, CURLOPT_XFERINFOFUNCTION, ProgressCheck);
    curl_easy_setopt(ch, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(ch, CURLOPT_ACCEPT_ENCODING, "gzip");
    // Payloads leave only over HTTP(S), whatever a channel URL or a server's
    // redirect names.
    curl_easy_setopt(ch, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(ch, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(ch, CURLOPT_MAXREDIRS, max_redirects);

    // Decided once, for the handle's whole life.
    if (vxGlobalConfig::GetInstance().flags.IsSet(vxGlobalConfig::DEBUG_CURL)) {
        curl_easy_setopt(ch, CURLOPT_VERBOSE, 1L);
        curl_easy_setopt(ch, CURLOPT_DEBUGFUNCTION, DebugTrace);
        curl_easy_setopt(ch, CURLOPT_DEBUGDATA, this);
    }
}

void htsPlugin::PostPayload(htsChannelConfig &channel,
    const std::shared_ptr<vxPluginSinkPayload> &payload)
{
    if (!curl_handle) CreateHandle();
    CURL *ch = curl_handle.get();

    // The handle is shared by every channel: set this channel's TLS choices
    // on every post, back to full verification where it wants it.
    curl_easy_setopt(ch, CURLOPT_SSL_VERIFYPEER, channel.tls_verify ? 1L : 0L);
    curl_easy_setopt(ch, CURLOPT_SSL_VERIFYHOST, channel.tls_verify ? 2L : 0L);
    curl_easy_setopt(ch, CURLOPT_SSLVERSION,
        channel.tls_version1 ? static_cast<long>(CURL_SSLVERSION_TLSv1)
                             : static_cast<long>(CURL_SSLVERSION_DEFAULT));

    curl_slist *headers = channel.GetHeaders(payload->flags);
    if (headers == nullptr) {
        // Sending without the content type and encoding lines would deliver
        // a body the collector cannot read.
        vx_printf("%s: %s: %s: %s\n", tag.c_str(), channel.channel.c_str(),
            channel.url.c_str(), "unable to build header list, payload not sent");
        return;
    }
    curl_easy_setopt(ch, CURLOPT_HTTPHEADER, headers);

    curl_easy_setopt(ch, CURLOPT_URL, channel.url.c_str());
    curl_easy_setopt(ch, CURLOPT_CONNECTTIMEOUT, static_cast<long>(channel.timeout_connect));
    curl_easy_setopt(ch, CURLOPT_TIMEOUT, static_cast<long>(channel.timeout_transfer));

    // Sent from the payload's own memory: the caller's reference keeps it
    // alive for the whole transfer.
    curl_easy_setopt(ch, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(payload->length));
    curl_easy_setopt(ch, CURLOPT_POSTFIELDS, payload->data.get());

    response.clear();
    curl_error[0] = '\0';

    CURLcode rc = curl_easy_perform(ch);
    if (rc != CURLE_OK) {
        // Some failures leave the error buffer empty.
        const char *reason = curl_error[0] != '\0' ? curl_error : curl_easy_strerror(rc);
        vx_printf("%s: %s: %s: %s [%d]\n", tag.c_str(), channel.channel.c_str(),
            channel.url.c_str(), reason, static_cast<int>(rc));
        return;
    }

    long code = 0;
    CURLcode e = curl_easy_getinfo(ch, CURLINFO_RESPONSE_CODE, &code);
    if (e != CURLE_OK) {
        const char *reason = curl_error[0] != '\0' ? curl_error : curl_easy_strerror(e);
        vx_printf("%s: %s: %s: %s [%d]\n", tag.c_str(), channel.channel.c_str(),
            channel.url.c_str(), reason, static_cast<int>(e));
        return;
    }

    if (code != 200) {
        vx_printf("%s: %s: %s: HTTP: %d\n", tag.c_str(), channel.channel.c_str(),
            channel.url.c_str(), static_cast<int>(code));
    }
}

size_t htsPlugin::AppendData(const char *data, size_t length)
{
    // Keep only the head of the body and accept the rest unread, so the
    // transfer completes normally however much the server sends.
    size_t room = (response.size() < HTS_RESPONSE_MAX) ? HTS_RESPONSE_MAX - response.size() : 0;
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
