#ifndef HTS_TRANSFER_OPTIONS_H
#define HTS_TRANSFER_OPTIONS_H

#include <cstddef>

#include <curl/curl.h>

#include "config/channel_config.h"
#include "vxplugin.h"

// The most of one response body kept in memory. Nothing reads the body; the
// bound only stops a misbehaving server from growing the agent without limit.
constexpr size_t htsResponseMax = 64 * 1024;

// Redirects past this many are a loop; without a limit one would hold a
// transfer, and every payload behind it, until the transfer time limit.
constexpr long htsMaxRedirects = 30;

// The largest time limit in seconds that libcurl takes: it counts in
// milliseconds in an int and refuses anything above.
constexpr unsigned long htsMaxTimeoutSeconds = 2147483;

// The callbacks a handle reports to, with their user data. A null debug
// function leaves the handle without a trace.
struct htsHandleCallbacks {
    char *error_buffer = nullptr; // CURL_ERROR_SIZE bytes
    curl_write_callback write_function = nullptr;
    void *write_data = nullptr;
    curl_xferinfo_callback progress_function = nullptr;
    void *progress_data = nullptr;
    curl_debug_callback debug_function = nullptr;
    void *debug_data = nullptr;
};

// The first option libcurl refused, if any. A refused option must stop the
// post: the handle would otherwise keep the previous post's value, or lose a
// restriction without a word.
struct htsOptionResult {
    CURLcode code = CURLE_OK;
    CURLoption option = CURLoption{};

    explicit operator bool() const noexcept { return code == CURLE_OK; }
};

// libcurl's global set-up, done once for the process before the first
// handle of either delivery mode: instances may start at once on their own
// threads, and the set-up is not safe to run twice at the same time.
void htsInitCurl();

// Options set once for a handle's whole life: callbacks, POST with its
// redirect handling, the protocol restriction, the redirect limit.
htsOptionResult htsSetHandleOptions(CURL *handle, const htsHandleCallbacks &callbacks);

// Options set for every post from the channel record: TLS, headers, URL,
// time limits and the body, which is sent from where it lies (never copied):
// `body` must outlive the transfer.
htsOptionResult htsSetPostOptions(CURL *handle, const htsChannelConfig &channel,
    curl_slist *headers, const void *body, size_t length);

// The same with the payload's own body.
inline htsOptionResult htsSetPostOptions(CURL *handle, const htsChannelConfig &channel,
    curl_slist *headers, const vxPluginSinkPayload &payload)
{
    return htsSetPostOptions(handle, channel, headers, payload.data.get(), payload.length);
}

// A time limit in seconds as libcurl takes it: 0 stays "no limit", and one
// beyond libcurl's range becomes its largest, which is as good as none.
long htsTimeoutSeconds(uint32_t seconds) noexcept;

#endif
