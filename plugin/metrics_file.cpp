#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>

#include "plugin/metrics_file.h"
#include "plugin/metrics_text.h"
#include "vxlog.h"

namespace {

bool WriteAll(int fd, const std::string &text)
{
    const char *data = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = write(fd, data, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

// The hidden name beside `path` that the file is written under: a reader of
// the folder that takes "*.prom" files never picks it up.
std::string TemporaryName(const std::string &path)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return folder + "." + name + "." + std::to_string(getpid()) + ".tmp";
}

} // namespace

htsMetricsFile::htsMetricsFile(const std::string &tag, std::function<nlohmann::json()> status)
    : tag(tag), status(std::move(status))
{
}

htsMetricsFile::~htsMetricsFile()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        ending = true;
        path.clear();
    }
    cond.notify_one();
    if (writer.joinable()) writer.join();
}

void htsMetricsFile::Configure(const std::string &new_path, uint64_t new_interval_ms)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        if (new_path == path && new_interval_ms == interval_ms) return;
        changed = true;
        path = new_path;
        interval_ms = new_interval_ms;
        // No thread for an instance that never asked for the file.
        if (path.empty() || writer.joinable()) {
            cond.notify_one();
            return;
        }
    }
    writer = std::thread([this] { Run(); });
}

void htsMetricsFile::Finish()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        ending = true;
    }
    cond.notify_one();
    if (writer.joinable()) writer.join();
}

void htsMetricsFile::Run()
{
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        changed = false;
        const std::string target = path;
        const bool last = ending;
        if (!target.empty()) {
            guard.unlock();
            WriteOnce(target);
            guard.lock();
        }
        if (last) return;
        const auto woken = [this] { return ending || changed; };
        if (path.empty())
            cond.wait(guard, woken);
        else
            cond.wait_for(guard, std::chrono::milliseconds(interval_ms), woken);
    }
}

void htsMetricsFile::WriteOnce(const std::string &target)
{
    // Nothing may end the thread with an exception: that would end the agent.
    int error = 0;
    try {
        const std::string text = htsMetricsText(status());
        const std::string temporary = TemporaryName(target);
        const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            error = errno;
        else {
            if (!WriteAll(fd, text)) error = errno;
            close(fd);
            if (error == 0 && rename(temporary.c_str(), target.c_str()) != 0) error = errno;
            if (error != 0) unlink(temporary.c_str());
        }
    }
    catch (const std::exception &) {
        error = ENOMEM;
    }
    if (error != 0 && !failing) {
        failing = true;
        char buffer[256];
        vx_printf("%s: cannot write metrics_file %s: %s\n", tag.c_str(), target.c_str(),
            strerror_r(error, buffer, sizeof(buffer)));
    }
    else if (error == 0 && failing) {
        failing = false;
        vx_printf("%s: metrics_file %s written again\n", tag.c_str(), target.c_str());
    }
}
