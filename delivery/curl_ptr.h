#ifndef HTS_CURL_PTR_H
#define HTS_CURL_PTR_H

#include <memory>

#include <curl/curl.h>

// Owners for libcurl objects, so every path (including exceptions) releases
// them exactly once.
struct htsCurlEasyCleanup {
    void operator()(CURL *handle) const noexcept { curl_easy_cleanup(handle); }
};

struct htsCurlSlistFree {
    void operator()(curl_slist *list) const noexcept { curl_slist_free_all(list); }
};

using htsCurlEasyPtr = std::unique_ptr<CURL, htsCurlEasyCleanup>;
using htsCurlSlistPtr = std::unique_ptr<curl_slist, htsCurlSlistFree>;

#endif
