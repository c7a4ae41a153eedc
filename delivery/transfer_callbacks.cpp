#include <atomic>
#include <string>
#include <string_view>

#include "config/log_text.h"
#include "delivery/transfer_callbacks.h"
#include "vxconfig.h"
#include "vxexception.h"
#include "vxlog.h"

int htsProgressCheck(void *stop_flag, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept
{
    return static_cast<const std::atomic<bool> *>(stop_flag)->load() ? 1 : 0;
}

namespace {

// A URL may come back in a header too (a redirect's Location).
std::string MaskedHeaders(const char *data, size_t size)
{
    return htsMaskHeaderLines(htsMaskUrlsInText(std::string_view(data, size)));
}

} // namespace

int htsDebugTrace(CURL *, curl_infotype type, char *data, size_t size, void *userptr) noexcept
{
    // libcurl offers no way to abort from here; a failure to log one trace
    // line (an allocation, the agent's log) only loses that line.
    try {
        if (!vxGlobalConfig::GetInstance().flags.IsSet(vxGlobalConfig::DEBUG_CURL))
            return 0;

        const char *tag = static_cast<const std::string *>(userptr)->c_str();
        const auto bytes = static_cast<unsigned long>(size);
        switch (type) {
        // libcurl's notes may quote a URL (a redirect, a proxy from the
        // environment), and header lines carry the credentials themselves.
        case CURLINFO_TEXT:
            vx_dprintf("%s: %s", tag, htsMaskUrlsInText(std::string_view(data, size)).c_str());
            break;
        case CURLINFO_HEADER_IN:
            vx_dprintf("%s: <-- %s", tag, MaskedHeaders(data, size).c_str());
            break;
        case CURLINFO_HEADER_OUT:
            vx_dprintf("%s: --> %s", tag, MaskedHeaders(data, size).c_str());
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
    }
    catch (...) {
    }
    return 0;
}
