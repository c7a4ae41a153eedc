// The older bitmask protocol options are the fallback for a libcurl that does
// not know the string forms.
#define CURL_DISABLE_DEPRECATION 1

#include <mutex>
#include <string>

#include "delivery/transfer_options.h"

void htsInitCurl()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

namespace {

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

// libcurl's own authorities, built into the library. Setting them back is
// the only way to undo a channel's: a null authority means none at all.
struct BuiltInAuthorities {
    CURLcode code = CURLE_OK;
    const char *file = nullptr;
    const char *folder = nullptr;
};

const BuiltInAuthorities &BuiltIns(CURL *handle)
{
    static const BuiltInAuthorities built_in = [handle] {
        BuiltInAuthorities b;
        char *file = nullptr;
        char *folder = nullptr;
        b.code = curl_easy_getinfo(handle, CURLINFO_CAINFO, &file);
        if (b.code == CURLE_OK) b.code = curl_easy_getinfo(handle, CURLINFO_CAPATH, &folder);
        b.file = file;
        b.folder = folder;
        return b;
    }();
    return built_in;
}

// An empty text is "not set": libcurl's default for every option below.
const char *TextOrNull(const std::string &text) { return text.empty() ? nullptr : text.c_str(); }

long SslVersion(const htsChannelConfig &channel)
{
    switch (channel.tls_min_version) {
    case htsTlsMinVersion::Tls1_2: return CURL_SSLVERSION_TLSv1_2;
    case htsTlsMinVersion::Tls1_3: return CURL_SSLVERSION_TLSv1_3;
    case htsTlsMinVersion::Default: break;
    }
    return channel.tls_version1 ? CURL_SSLVERSION_TLSv1 : CURL_SSLVERSION_DEFAULT;
}

long HttpVersion(htsHttpVersion version)
{
    switch (version) {
    case htsHttpVersion::Http1_1: return CURL_HTTP_VERSION_1_1;
    case htsHttpVersion::Http2: return CURL_HTTP_VERSION_2TLS;
    case htsHttpVersion::Http2PriorKnowledge: return CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE;
    case htsHttpVersion::Default: break;
    }
    return CURL_HTTP_VERSION_NONE;
}

// A channel's own authorities replace the system's rather than adding to
// them: either one named leaves the other unset.
void SetAuthorities(CURL *handle, const htsChannelConfig &channel, OptionSetter &set)
{
    if (channel.tls_ca_file.empty() && channel.tls_ca_path.empty()) {
        const BuiltInAuthorities &built_in = BuiltIns(handle);
        set.Check(CURLOPT_CAINFO, built_in.code);
        set.Set(CURLOPT_CAINFO, built_in.file).Set(CURLOPT_CAPATH, built_in.folder);
        return;
    }
    set.Set(CURLOPT_CAINFO, TextOrNull(channel.tls_ca_file))
        .Set(CURLOPT_CAPATH, TextOrNull(channel.tls_ca_path));
}

// Who sends: a signature, a bearer token, or the URL's own user and password.
// Each post sets all of them, as the TLS choices: setting the signing text
// alone does not undo an earlier channel's choice of method.
void SetAuthentication(const htsChannelConfig &channel, OptionSetter &set)
{
    const bool sign = !channel.aws_sigv4.empty();
    const std::string *token = channel.bearer_token ? &channel.bearer_token->Current() : nullptr;
    set.Set(CURLOPT_AWS_SIGV4, TextOrNull(channel.aws_sigv4))
        .Set(CURLOPT_USERNAME, sign ? channel.aws_access_key_id.c_str() : nullptr)
        .Set(CURLOPT_PASSWORD, sign ? channel.aws_secret_access_key.c_str() : nullptr)
        .Set(CURLOPT_XOAUTH2_BEARER, token != nullptr ? token->c_str() : nullptr)
        .Set(CURLOPT_HTTPAUTH, sign ? CURLAUTH_AWS_SIGV4 : token != nullptr ? CURLAUTH_BEARER : CURLAUTH_BASIC);
}

} // namespace

long htsTimeoutSeconds(uint32_t seconds) noexcept
{
    return static_cast<long>(seconds < htsMaxTimeoutSeconds ? seconds : htsMaxTimeoutSeconds);
}

htsOptionResult htsSetHandleOptions(CURL *handle, const htsHandleCallbacks &callbacks)
{
    htsInitCurl();

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
    curl_slist *headers, const void *body, size_t length)
{
    OptionSetter set(handle);
    const bool own_connection =
        channel.http_version == htsHttpVersion::Http2PriorKnowledge && !htsCurlReusesPriorKnowledge();
    // A handle may serve every channel: each post sets every choice of its
    // own channel, back to libcurl's default where the channel makes none,
    // so nothing of an earlier post's channel (relaxed verification, an
    // authority, a client certificate, a proxy) carries over. libcurl keys
    // connection reuse on these too, so neither does a connection.
    set.Set(CURLOPT_SSL_VERIFYPEER, channel.tls_verify ? 1L : 0L)
        .Set(CURLOPT_SSL_VERIFYHOST, channel.tls_verify ? 2L : 0L)
        .Set(CURLOPT_SSLVERSION, SslVersion(channel));
    SetAuthorities(handle, channel, set);
    set.Set(CURLOPT_SSLCERT, TextOrNull(channel.tls_client_cert))
        .Set(CURLOPT_SSLKEY, TextOrNull(channel.tls_client_key))
        .Set(CURLOPT_KEYPASSWD, TextOrNull(channel.tls_client_key_password))
        .Set(CURLOPT_PINNEDPUBLICKEY, TextOrNull(channel.tls_pinned_public_key))
        .Set(CURLOPT_PROXY, channel.proxy ? channel.proxy->c_str() : nullptr)
        .Set(CURLOPT_HTTP_VERSION, HttpVersion(channel.http_version))
        // Neither kept for a later post nor shared by posts in flight.
        .Set(CURLOPT_FORBID_REUSE, own_connection ? 1L : 0L)
        .Set(CURLOPT_FRESH_CONNECT, own_connection ? 1L : 0L)
        .Set(CURLOPT_HTTPHEADER, headers)
        .Set(CURLOPT_URL, channel.url.c_str())
        .Set(CURLOPT_CONNECTTIMEOUT, htsTimeoutSeconds(channel.timeout_connect))
        .Set(CURLOPT_TIMEOUT, htsTimeoutSeconds(channel.timeout_transfer))
        .Set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(length))
        .Set(CURLOPT_POSTFIELDS, body);
    SetAuthentication(channel, set);
    return set.result;
}
