#ifndef VX_DELIVERY_SUPPORT_H
#define VX_DELIVERY_SUPPORT_H

// Small helpers shared by the tests of delivery: channel records pointed at
// a loopback server, and the plug-in's two result lines.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <curl/curl.h>
#include <gtest/gtest.h>

#include "config/channel_config.h"
#include "test_support.h"

namespace vxtest {

// Short limits, so a fault shows as a failed test rather than a long wait.
inline htsChannelConfig MakeChannel(const std::string &name, const std::string &url)
{
    htsChannelConfig c;
    c.channel = name;
    c.url = url;
    c.timeout_connect = 2;
    c.timeout_transfer = 10;
    return c;
}

inline std::string FailureLine(const std::string &tag, const htsChannelConfig &c,
    const std::string &reason, int code)
{
    return tag + ": " + c.channel + ": " + c.url + ": " + reason + " [" + std::to_string(code) + "]\n";
}

inline std::string HttpLine(const std::string &tag, const htsChannelConfig &c, int code)
{
    return tag + ": " + c.channel + ": " + c.url + ": HTTP: " + std::to_string(code) + "\n";
}

inline std::vector<std::string> ListLines(const curl_slist *list)
{
    std::vector<std::string> lines;
    for (; list != nullptr; list = list->next) lines.emplace_back(list->data);
    return lines;
}

// Every byte value, NUL included, in an order that does not repeat quickly.
inline std::string BinaryBytes(size_t n, uint32_t seed = 1)
{
    std::string bytes(n, '\0');
    uint32_t x = seed;
    for (size_t i = 0; i < n; i++) {
        x = x * 1664525u + 1013904223u;
        bytes[i] = static_cast<char>(x >> 24);
    }
    return bytes;
}

// A failed post as the plug-in reports it, "TAG: CHANNEL: URL: REASON [CODE]".
// The reason is libcurl's own text for the failure: tests require it to be
// there, never its wording.
struct FailedPost {
    std::string reason;
    int code = -1;
};

// The lines among `lines` that report a failed post to `channel` at `url`.
// One that starts so but is not of that shape comes back whole as the
// reason, with code -1, so a test shows it.
inline std::vector<FailedPost> FailedPosts(const std::vector<std::string> &lines, const std::string &tag,
    const std::string &channel, const std::string &url)
{
    const std::string prefix = tag + ": " + channel + ": " + url + ": ";
    std::vector<FailedPost> found;
    for (const auto &line : lines) {
        if (line.compare(0, prefix.size(), prefix) != 0) continue;
        FailedPost f;
        size_t open = line.rfind(" [");
        if (open == std::string::npos || open < prefix.size() || line.size() < 3 ||
            line.compare(line.size() - 2, 2, "]\n") != 0) {
            f.reason = line;
            found.push_back(f);
            continue;
        }
        f.reason = line.substr(prefix.size(), open - prefix.size());
        f.code = std::stoi(line.substr(open + 2, line.size() - open - 4));
        found.push_back(f);
    }
    return found;
}

// `lines` is exactly one line: a failed post to `c` with libcurl's `code`
// and a reason.
inline testing::AssertionResult OnlyFailedPost(const std::vector<std::string> &lines, const std::string &tag,
    const htsChannelConfig &c, int code)
{
    std::string all;
    for (const auto &line : lines) all += line;
    auto posts = FailedPosts(lines, tag, c.channel, c.url);
    if (lines.size() != 1 || posts.size() != 1)
        return testing::AssertionFailure() << "expected one failed post to " << c.channel << ", logged:\n" << all;
    if (posts[0].code != code)
        return testing::AssertionFailure() << "code " << posts[0].code << ", expected " << code << ": " << all;
    if (posts[0].reason.empty()) return testing::AssertionFailure() << "no reason: " << all;
    return testing::AssertionSuccess();
}

// For checks in a child process of a death test: report on standard error
// and leave with a non-zero code when `ok` is false.
inline void ExitUnless(bool ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "failed: %s\n", what);
        fflush(stderr);
        _exit(1);
    }
}

} // namespace vxtest

#endif
