#ifndef HTS_CURL_PTR_H
#define HTS_CURL_PTR_H

#include <memory>

#include <curl/curl.h>

#include "config/curl_slist.h"

// Owner of a libcurl easy handle, so every path (exceptions included)
// releases it exactly once.
struct htsCurlEasyCleanup {
    void operator()(CURL *handle) const noexcept { curl_easy_cleanup(handle); }
};

using htsCurlEasyPtr = std::unique_ptr<CURL, htsCurlEasyCleanup>;

#endif
