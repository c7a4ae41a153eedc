#include "config/log_text.h"
#include "delivery/post_result.h"
#include "vxlog.h"

namespace {

// Masked here, on the way to the log, rather than kept in the record: only
// failures pay for it, and a record whose URL was set without a load still
// prints it.
void LogFailure(const std::string &tag, const htsChannelConfig &channel, const char *reason, CURLcode code)
{
    vx_printf("%s%s [%d]\n", htsChannelLinePrefix(tag, channel.channel, channel.url).c_str(), reason,
        static_cast<int>(code));
}

} // namespace

const char *htsTransferReason(CURLcode code, const char *error_buffer)
{
    // Some failures leave the error buffer empty.
    return (error_buffer != nullptr && error_buffer[0] != '\0') ? error_buffer : curl_easy_strerror(code);
}

htsPostOutcome htsReportPost(const std::string &tag, const htsChannelConfig &channel,
    CURL *handle, CURLcode rc, const char *error_buffer)
{
    htsPostOutcome outcome;
    if (rc != CURLE_OK) {
        LogFailure(tag, channel, htsTransferReason(rc, error_buffer), rc);
        outcome.code = rc;
        return outcome;
    }

    long status = 0;
    CURLcode e = curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (e != CURLE_OK) {
        LogFailure(tag, channel, htsTransferReason(e, error_buffer), e);
        outcome.code = e;
        return outcome;
    }

    outcome.status = status;
    outcome.succeeded = channel.Succeeded(status);
    if (!outcome.succeeded) {
        vx_printf("%sHTTP: %d\n", htsChannelLinePrefix(tag, channel.channel, channel.url).c_str(),
            static_cast<int>(status));
    }
    return outcome;
}

void htsReportRefusal(const std::string &tag, const htsChannelConfig &channel, CURLcode code)
{
    LogFailure(tag, channel, curl_easy_strerror(code), code);
}
