#ifndef HTS_CURL_SLIST_H
#define HTS_CURL_SLIST_H

#include <memory>

#include <curl/curl.h>

// Owner of a libcurl string list, so every path (exceptions included)
// frees it exactly once.
struct htsCurlSlistFree {
    void operator()(curl_slist *list) const noexcept { curl_slist_free_all(list); }
};

using htsCurlSlistPtr = std::unique_ptr<curl_slist, htsCurlSlistFree>;

// A header list cached in a channel record. A list belongs to exactly one
// record, which frees it: copying a record therefore gives the copy an empty
// slot rather than a second owner, and assigning over a record drops its list.
class htsHeaderListSlot : public htsCurlSlistPtr
{
public:
    htsHeaderListSlot() noexcept = default;
    htsHeaderListSlot(const htsHeaderListSlot &) noexcept : htsCurlSlistPtr() { }
    htsHeaderListSlot &operator=(const htsHeaderListSlot &) noexcept
    {
        reset();
        return *this;
    }
    htsHeaderListSlot(htsHeaderListSlot &&) noexcept = default;
    htsHeaderListSlot &operator=(htsHeaderListSlot &&) noexcept = default;
    htsHeaderListSlot &operator=(htsCurlSlistPtr &&list) noexcept
    {
        htsCurlSlistPtr::operator=(std::move(list));
        return *this;
    }
};

#endif
