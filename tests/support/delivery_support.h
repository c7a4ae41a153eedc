#ifndef VX_DELIVERY_SUPPORT_H
#define VX_DELIVERY_SUPPORT_H

// Small helpers shared by the header-list and poster tests: payloads,
// channel records pointed at a loopback server, and the two result lines.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "config/channel_config.h"
#include "vxplugin.h"

namespace vxtest {

inline std::shared_ptr<vxPluginSinkPayload> MakePayload(const std::string &body,
    uint32_t flags = vxPlugin::FORMAT_JSON)
{
    return std::make_shared<vxPluginSinkPayload>(body.size(),
        reinterpret_cast<const uint8_t *>(body.data()), std::set<std::string>{ "c" },
        vxFlags<vxPlugin::DispatchFlags>(flags));
}

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

// A loopback port that nothing listens on: bound once, then released.
inline int UnusedLoopbackPort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        close(fd);
        throw std::runtime_error("cannot bind a loopback port");
    }
    close(fd);
    return ntohs(addr.sin_port);
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
