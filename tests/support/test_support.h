#ifndef VX_TEST_SUPPORT_H
#define VX_TEST_SUPPORT_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "vxconfig.h"
#include "vxlog.h"
#include "vxplugin.h"

namespace vxtest {

// Captures everything logged while it lives; restores standard error and the
// debug switch afterwards.
class LogCapture
{
public:
    explicit LogCapture(bool debug = true);
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<std::string> Lines() const;
    std::string Text() const;
    // Lines that contain `needle`.
    std::vector<std::string> Matching(const std::string &needle) const;
    size_t Count(const std::string &needle) const { return Matching(needle).size(); }
    // Waits, up to `timeout`, until `needle` has appeared `count` times.
    bool WaitFor(const std::string &needle, size_t count = 1,
        std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    void Clear();

private:
    mutable std::mutex lock;
    mutable std::condition_variable cond;
    std::vector<std::string> lines;
    bool saved_debug;
};

// Publishes a global configuration for the scope of a test.
using GlobalConfigScope = vxGlobalConfigScope;

// A payload holding a copy of `body`, addressed to `channels`.
std::shared_ptr<vxPluginSinkPayload> MakePayload(const std::string &body,
    uint32_t flags = vxPlugin::FORMAT_JSON, const std::set<std::string> &channels = { "c" });

// A TCP socket bound to a loopback port of the kernel's choosing, closed
// with the object. Bound but not listening, the port is reserved: nothing
// else can take it, and every connection to it is refused.
class LoopbackSocket
{
public:
    LoopbackSocket();
    ~LoopbackSocket();
    LoopbackSocket(const LoopbackSocket &) = delete;
    LoopbackSocket &operator=(const LoopbackSocket &) = delete;

    int Fd() const { return fd; }
    int Port() const { return port; }
    void Listen(int backlog);

private:
    int fd = -1;
    int port = 0;
};

// A loopback port that nothing listens on: bound once, then released.
int UnusedLoopbackPort();

// A fresh folder removed with its contents at the end of the scope.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::filesystem::path &Path() const { return path; }
    // Writes `text` to `name` in the folder and returns its full path.
    std::string Write(const std::string &name, const std::string &text) const;

private:
    std::filesystem::path path;
};

// Polls `done` until it holds or `timeout` runs out.
bool WaitUntil(const std::function<bool()> &done,
    std::chrono::milliseconds timeout = std::chrono::seconds(10));

} // namespace vxtest

#endif
