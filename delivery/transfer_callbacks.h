#ifndef HTS_TRANSFER_CALLBACKS_H
#define HTS_TRANSFER_CALLBACKS_H

#include <cstddef>

#include <curl/curl.h>

// libcurl's callbacks shared by every handle of the plug-in. libcurl is C:
// nothing may unwind through it, so none of them lets an exception out.

// Progress check: its user data is the instance's `const std::atomic<bool>`
// stop flag; a set flag makes libcurl abort the transfer, so a stop request
// cuts short a post in progress.
int htsProgressCheck(void *stop_flag, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept;

// Debug trace: its user data is the instance's tag (`const std::string`).
// Writes what libcurl reports as debug lines while the agent's global
// configuration asks for the trace; does nothing once it is withdrawn.
int htsDebugTrace(CURL *handle, curl_infotype type, char *data, size_t size, void *tag) noexcept;

#endif
