// The older bitmask protocol options are the fallback for a libcurl that does
// not know the string forms.
#define CURL_DISABLE_DEPRECATION 1

#include <mutex>

#include "delivery/transfer_options.h"

namespace {

// Several instances may start their first transfer at once on their own
// threads; the library's global set-up must happen exactly once before that.
void InitCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Sets options in order and keeps the first refusal.
class OptionSetter
{
public:
    explicit OptionSetter(CURL *handle) : handle(handle) { }

    template <typename T>
    OptionSetter &Set(CURLoption option, T value)
    {
        if (result) Check(option, curl_easy_setopt(handle, option, value));
        return *this;
    }

    // Records `rc` as the result of setting `option`.
    void Check(CURLoption option, CURLcode rc)
    {
        if (result && rc != CURLE_OK) {
            result.code = rc;
            result.option = option;
        }
    }

    htsOptionResult result;

private:
    CURL *handle;
};

// Payloads leave only over HTTP(S), whatever a channel URL or a server's
// redirect names.
void RestrictProtocols(CURL *handle, OptionSetter &set)
{
    if (!set.result) return;
    CURLcode rc = curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    if (rc == CURLE_UNKNOWN_OPTION) {
        rc = curl_easy_setopt(handle, CURLOPT_PROTOCOLS,
            static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
        set.Check(CURLOPT_PROTOCOLS, rc);
    }
    else
        set.Check(CURLOPT_PROTOCOLS_STR, rc);

    if (!set.result) return;
    rc = curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    if (rc == CURLE_UNKNOWN_OPTION) {
        rc = curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS,
            static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
        set.Check(CURLOPT_REDIR_PROTOCOLS, rc);
    }
    else
        set.Check(CURLOPT_REDIR_PROTOCOLS_STR, rc);
}

} // namespace

long htsTimeoutSeconds(uint32_t seconds) noexcept
{
    return static_cast<long>(seconds < htsMaxTimeoutSeconds ? seconds : htsMaxTimeoutSeconds);
}

htsOptionResult htsSetHandleOptions(CURL *handle, const htsHandleCallbacks &callbacks)
{
    InitCurlOnce();

    OptionSetter set(handle);
    set.Set(CURLOPT_ERRORBUFFER, callbacks.error_buffer)
        .Set(CURLOPT_NOSIGNAL, 1L)
        .Set(CURLOPT_POST, 1L)
        .Set(CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_301 | CURL_REDIR_POST_302))
        .Set(CURLOPT_FOLLOWLOCATION, 1L)
        .Set(CURLOPT_WRITEFUNCTION, callbacks.write_function)
        .Set(CURLOPT_WRITEDATA, callbacks.write_data)
        .Set(CURLOPT_NOPROGRESS, 0L)
        .Set(CURLOPT_XFERINFOFUNCTION, callbacks.progress_function)
        .Set(CURLOPT_XFERINFODATA, callbacks.progress_data)
        .Set(CURLOPT_ACCEPT_ENCODING, "gzip");
    RestrictProtocols(handle, set);
    set.Set(CURLOPT_MAXREDIRS, htsMaxRedirects);

    if (callbacks.debug_function != nullptr) {
        set.Set(CURLOPT_VERBOSE, 1L)
            .Set(CURLOPT_DEBUGFUNCTION, callbacks.debug_function)
            .Set(CURLOPT_DEBUGDATA, callbacks.debug_data);
    }
    return set.result;
}

htsOptionResult htsSetPostOptions(CURL *handle, const htsChannelConfig &channel,
    curl_slist *headers, const vxPluginSinkPayload &payload)
{
    OptionSetter set(handle);
    // A handle may serve every channel: each post sets its own channel's TLS
    // choices, back to full verification where it wants it.
    set.Set(CURLOPT_SSL_VERIFYPEER, channel.tls_verify ? 1L : 0L)
        .Set(CURLOPT_SSL_VERIFYHOST, channel.tls_verify ? 2L : 0L)
        .Set(CURLOPT_SSLVERSION,
            channel.tls_version1 ? static_cast<long>(CURL_SSLVERSION_TLSv1)
                                 : static_cast<long>(CURL_SSLVERSION_DEFAULT))
        .Set(CURLOPT_HTTPHEADER, headers)
        .Set(CURLOPT_URL, channel.url.c_str())
        .Set(CURLOPT_CONNECTTIMEOUT, htsTimeoutSeconds(channel.timeout_connect))
        .Set(CURLOPT_TIMEOUT, htsTimeoutSeconds(channel.timeout_transfer))
        .Set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(payload.length))
        .Set(CURLOPT_POSTFIELDS, payload.data.get());
    return set.result;
}
