#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "test_support.h"

namespace vxtest {

LogCapture::LogCapture(bool debug) : saved_debug(vx_log_debug_enabled())
{
    vx_log_set_debug(debug);
    vx_log_set_sink([this](const std::string &text) {
        {
            std::lock_guard<std::mutex> guard(lock);
            lines.push_back(text);
        }
        cond.notify_all();
    });
}

LogCapture::~LogCapture()
{
    vx_log_set_sink(nullptr);
    vx_log_set_debug(saved_debug);
}

std::vector<std::string> LogCapture::Lines() const
{
    std::lock_guard<std::mutex> guard(lock);
    return lines;
}

std::string LogCapture::Text() const
{
    std::string text;
    for (const auto &line : Lines()) text += line;
    return text;
}

std::vector<std::string> LogCapture::Matching(const std::string &needle) const
{
    std::vector<std::string> found;
    for (const auto &line : Lines())
        if (line.find(needle) != std::string::npos) found.push_back(line);
    return found;
}

bool LogCapture::WaitFor(const std::string &needle, size_t count,
    std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> guard(lock);
    return cond.wait_for(guard, timeout, [&] {
        size_t n = 0;
        for (const auto &line : lines)
            if (line.find(needle) != std::string::npos) n++;
        return n >= count;
    });
}

void LogCapture::Clear()
{
    std::lock_guard<std::mutex> guard(lock);
    lines.clear();
}

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "vxtest-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string TempDir::Write(const std::string &name, const std::string &text) const
{
    std::filesystem::path file = path / name;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + file.string());
    return file.string();
}

std::shared_ptr<vxPluginSinkPayload> MakePayload(const std::string &body,
    uint32_t flags, const std::set<std::string> &channels)
{
    return std::make_shared<vxPluginSinkPayload>(body.size(),
        reinterpret_cast<const uint8_t *>(body.data()), channels,
        vxFlags<vxPlugin::DispatchFlags>(flags));
}

LoopbackSocket::LoopbackSocket()
{
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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
    port = ntohs(addr.sin_port);
}

LoopbackSocket::~LoopbackSocket() { close(fd); }

void LoopbackSocket::Listen(int backlog)
{
    if (listen(fd, backlog) != 0) throw std::runtime_error("cannot listen on loopback");
}

int UnusedLoopbackPort() { return LoopbackSocket().Port(); }

bool WaitUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace vxtest
