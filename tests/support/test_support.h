#ifndef VX_TEST_SUPPORT_H
#define VX_TEST_SUPPORT_H

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "vxconfig.h"
#include "vxlog.h"

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
class GlobalConfigScope
{
public:
    GlobalConfigScope() { vxGlobalConfig::SetInstance(&config); }
    ~GlobalConfigScope() { vxGlobalConfig::SetInstance(nullptr); }
    GlobalConfigScope(const GlobalConfigScope &) = delete;
    GlobalConfigScope &operator=(const GlobalConfigScope &) = delete;

    vxGlobalConfig config;
};

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
