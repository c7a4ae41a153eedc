#include <atomic>
#include <string>

#include "delivery/transfer_callbacks.h"
#include "vxconfig.h"
#include "vxexception.h"
#include "vxlog.h"

int htsProgressCheck(void *stop_flag, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept
{
    return static_cast<const std::atomic<bool> *>(stop_flag)->load() ? 1 : 0;
}

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
    }
    catch (...) {
    }
    return 0;
}
