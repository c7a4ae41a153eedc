#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

#include "vxsink_input.h"

namespace vxsink {

FileDescriptor::~FileDescriptor()
{
    if (fd >= 0) close(fd);
}

// Owns one payload's body and reports its release.
struct ReleaseTracker::Holder {
    Holder(ReleaseTracker &tracker, size_t length, std::unique_ptr<uint8_t[]> data,
        const std::set<std::string> &channels, vxFlags<vxPlugin::DispatchFlags> flags)
        : payload(length, std::move(data), channels, flags), tracker(tracker)
    {
        tracker.outstanding++;
    }
    ~Holder() { tracker.Released(); }
    Holder(const Holder &) = delete;
    Holder &operator=(const Holder &) = delete;

    vxPluginSinkPayload payload;
    ReleaseTracker &tracker;
};

bool ReleaseTracker::Open()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    read_end = std::make_unique<FileDescriptor>(fds[0]);
    write_end = std::make_unique<FileDescriptor>(fds[1]);
    return true;
}

std::shared_ptr<vxPluginSinkPayload> ReleaseTracker::Make(std::vector<uint8_t> body,
    const std::set<std::string> &channels, vxFlags<vxPlugin::DispatchFlags> flags)
{
    auto data = std::make_unique_for_overwrite<uint8_t[]>(body.size());
    if (!body.empty()) memcpy(data.get(), body.data(), body.size());
    auto holder = std::make_shared<Holder>(*this, body.size(), std::move(data), channels, flags);
    // The agent's payload type, sharing ownership with the holder.
    return std::shared_ptr<vxPluginSinkPayload>(holder, &holder->payload);
}

void ReleaseTracker::Drain() const
{
    char buffer[256];
    while (read(read_end->Get(), buffer, sizeof(buffer)) > 0) { }
}

void ReleaseTracker::Released()
{
    outstanding--;
    const char byte = 1;
    // A full pipe already holds a wake-up; nothing is lost by dropping it.
    ssize_t n = write(write_end->Get(), &byte, 1);
    (void)n;
}

namespace {

// zlib's stream, ended on every path out.
class Deflater
{
public:
    Deflater() { memset(&stream, 0, sizeof(stream)); }
    ~Deflater()
    {
        if (ready) deflateEnd(&stream);
    }
    Deflater(const Deflater &) = delete;
    Deflater &operator=(const Deflater &) = delete;

    // gzip format: the window bits plus 16 ask zlib for the gzip wrapper.
    bool Gzip(const std::vector<uint8_t> &in, std::vector<uint8_t> &out)
    {
        if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8,
                Z_DEFAULT_STRATEGY) != Z_OK)
            return false;
        ready = true;
        out.resize(deflateBound(&stream, static_cast<uLong>(in.size())));
        stream.next_in = const_cast<Bytef *>(in.data());
        stream.avail_in = static_cast<uInt>(in.size());
        stream.next_out = out.data();
        stream.avail_out = static_cast<uInt>(out.size());
        if (deflate(&stream, Z_FINISH) != Z_STREAM_END) return false;
        out.resize(stream.total_out);
        return true;
    }

private:
    z_stream stream;
    bool ready = false;
};

bool ReadFile(const std::string &path, std::vector<uint8_t> &body)
{
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        errno = EISDIR;
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    body.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool Blank(const std::string &line)
{
    return line.find_first_not_of(" \t\r\f\v") == std::string::npos;
}

} // namespace

bool Sink::Queue(std::vector<uint8_t> body, const std::string &where)
{
    vxFlags<vxPlugin::DispatchFlags> flags;
    if (options.msgpack) {
        try {
            nlohmann::json value = nlohmann::json::parse(body.begin(), body.end());
            body = nlohmann::json::to_msgpack(value);
        }
        catch (const nlohmann::json::exception &e) {
            Error(where + ": not JSON, skipped: " + e.what());
            return false;
        }
        flags.Set(vxPlugin::FORMAT_MSGPACK);
    }
    else
        flags.Set(vxPlugin::FORMAT_JSON);

    if (options.gzip) {
        std::vector<uint8_t> compressed;
        Deflater deflater;
        if (body.size() > UINT32_MAX || !deflater.Gzip(body, compressed)) {
            Error(where + ": cannot compress, skipped");
            return false;
        }
        body = std::move(compressed);
        flags.Set(vxPlugin::COMPRESS_GZIP);
    }

    plugin.QueuePayload(tracker.Make(std::move(body), options.channels, flags));
    return true;
}

Wait EventLoop::Poll(int input, bool *input_ready, int timeout_ms)
{
    if (input_ready) *input_ready = false;
    pollfd fds[3] = {
        { signal_fd, POLLIN, 0 },
        { tracker.WakeFd(), POLLIN, 0 },
        { input, POLLIN, 0 },
    };
    int count = input >= 0 ? 3 : 2;
    int ready = poll(fds, static_cast<nfds_t>(count), timeout_ms);
    if (ready < 0) {
        if (errno == EINTR) return Wait::Ready;
        Error(std::string("poll: ") + strerror(errno));
        return Wait::Failed;
    }
    if (fds[0].revents & POLLIN) {
        signalfd_siginfo info;
        while (read(signal_fd, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
            if (info.ssi_signo == SIGHUP)
                plugin.DispatchEvent(vxPlugin::EVENT_RELOAD);
            else {
                stop_signal = static_cast<int>(info.ssi_signo);
                return Wait::Stop;
            }
        }
    }
    if (fds[1].revents & POLLIN) tracker.Drain();
    if (count == 3 && input_ready && (fds[2].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)))
        *input_ready = true;
    return Wait::Ready;
}

Wait EventLoop::Throttle(size_t limit)
{
    while (tracker.Outstanding() >= limit)
        if (Wait w = Poll(-1, nullptr); w != Wait::Ready) return w;
    return Check();
}

Feed FeedFiles(const Options &options, Sink &sink, EventLoop &loop)
{
    Feed f;
    for (const std::string &path : options.files) {
        if ((f.end = loop.Throttle(max_outstanding)) != Wait::Ready) return f;
        std::vector<uint8_t> body;
        if (!ReadFile(path, body)) {
            Error(path + ": cannot read: " + strerror(errno));
            f.bad_input = true;
            continue;
        }
        if (!sink.Queue(std::move(body), path)) f.bad_input = true;
    }
    return f;
}

Feed FeedLines(Sink &sink, EventLoop &loop, ReleaseTracker &tracker)
{
    Feed f;
    std::string pending;
    size_t line_number = 0;
    char buffer[65536];

    auto take_line = [&](std::string line) {
        line_number++;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (Blank(line)) return;
        std::vector<uint8_t> body(line.begin(), line.end());
        if (!sink.Queue(std::move(body), "line " + std::to_string(line_number)))
            f.bad_input = true;
    };

    for (;;) {
        bool ready = false;
        // Stop reading while the plug-in is saturated; releases wake us.
        int input = tracker.Outstanding() < max_outstanding ? STDIN_FILENO : -1;
        if ((f.end = loop.Poll(input, &ready)) != Wait::Ready) return f;
        if (!ready) continue;

        ssize_t n = read(STDIN_FILENO, buffer, sizeof(buffer));
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            Error(std::string("standard input: ") + strerror(errno));
            f.bad_input = true;
            break;
        }
        if (n == 0) break;
        pending.append(buffer, static_cast<size_t>(n));
        size_t start = 0;
        for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1)
            take_line(pending.substr(start, end - start));
        pending.erase(0, start);
    }
    if (!pending.empty()) take_line(std::move(pending));
    return f;
}

} // namespace vxsink
