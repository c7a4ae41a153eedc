#ifndef HTS_POST_RESULT_H
#define HTS_POST_RESULT_H

#include <string>

#include <curl/curl.h>

#include "config/channel_config.h"

// How one post ended: libcurl's code (CURLE_OK when an answer came), the
// answer's HTTP status (0 without one), and whether the channel counts that
// status as a success.
struct htsPostOutcome {
    CURLcode code = CURLE_OK;
    long status = 0;
    bool succeeded = false;

    bool Delivered() const noexcept { return code == CURLE_OK && succeeded; }
};

// The reason a failed transfer gives: the handle's error buffer when libcurl
// wrote one, else libcurl's text for the code.
const char *htsTransferReason(CURLcode code, const char *error_buffer);

// Reads the outcome of a finished transfer on `handle` that ended with `rc`
// and logs anything but one of the channel's success codes (200 unless the
// channel says otherwise) with the tag, channel and URL, its password
// masked. `error_buffer` is the handle's error buffer.
htsPostOutcome htsReportPost(const std::string &tag, const htsChannelConfig &channel,
    CURL *handle, CURLcode rc, const char *error_buffer);

// Logs a failure that happened before the transfer could start, in the same
// form as a transfer error: libcurl's text for `code`, and the code.
void htsReportRefusal(const std::string &tag, const htsChannelConfig &channel, CURLcode code);

#endif
