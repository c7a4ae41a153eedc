#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include <nlohmann/json.hpp>

#include "vxsink_input.h"

namespace vxsink {

FileDescriptor::~FileDescriptor()
{
    if (fd >= 0) close(fd);
}

void FileDescriptor::Reset(int new_fd)
{
    if (fd >= 0) close(fd);
    fd = new_fd;
}

bool TakeSignals(std::initializer_list<int> signals, FileDescriptor &fd)
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : signals) {
        sigaddset(&set, s);
        signal(s, SIG_DFL);
    }
    signal(SIGPIPE, SIG_IGN);
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) {
        Error("cannot block signals");
        return false;
    }
    fd.Reset(signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
    if (fd.Get() < 0) {
        Error(std::string("signalfd: ") + strerror(errno));
        return false;
    }
    return true;
}

Body Body::Own(std::unique_ptr<uint8_t[]> bytes, size_t length)
{
    Body b;
    b.data = bytes.get();
    b.length = length;
    b.owned = std::move(bytes);
    return b;
}

Body Body::Own(const std::vector<uint8_t> &bytes)
{
    auto copy = std::make_unique_for_overwrite<uint8_t[]>(bytes.size());
    if (!bytes.empty()) memcpy(copy.get(), bytes.data(), bytes.size());
    return Own(std::move(copy), bytes.size());
}

// Owns one payload and reports its release. A body in an input block is the
// block's: the payload only points into it, and lets go of the pointer before
// it goes, so that only the block frees that memory.
struct ReleaseTracker::Holder {
    Holder(ReleaseTracker &tracker, Body body, const std::set<std::string> &channels,
        vxFlags<vxPlugin::DispatchFlags> flags)
        : payload(body.length,
              body.owned ? std::move(body.owned) : std::unique_ptr<uint8_t[]>(const_cast<uint8_t *>(body.data)),
              channels, flags),
          block(std::move(body.block)), tracker(tracker)
    {
        tracker.outstanding_bytes += payload.length;
        tracker.outstanding++;
    }
    ~Holder()
    {
        if (block) (void)payload.data.release();
        tracker.Released(payload.length);
    }
    Holder(const Holder &) = delete;
    Holder &operator=(const Holder &) = delete;

    vxPluginSinkPayload payload;
    std::shared_ptr<const InputBlock> block;
    ReleaseTracker &tracker;
};

bool ReleaseTracker::Open()
{
    event.Reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    return event.Get() >= 0;
}

std::shared_ptr<vxPluginSinkPayload> ReleaseTracker::Make(Body body,
    const std::set<std::string> &channels, vxFlags<vxPlugin::DispatchFlags> flags)
{
    auto holder = std::make_shared<Holder>(*this, std::move(body), channels, flags);
    // The agent's payload type, sharing ownership with the holder.
    return std::shared_ptr<vxPluginSinkPayload>(holder, &holder->payload);
}

bool ReleaseTracker::WakeAt(size_t payloads, size_t bytes)
{
    // Asked first, then checked: a release that happens in between sees
    // the request, or this check sees its count (both are sequentially
    // consistent), so no wake-up is lost.
    wake_bytes.store(bytes);
    wake_payloads.store(static_cast<long>(payloads));
    if (outstanding.load() <= payloads && outstanding_bytes.load() <= bytes) {
        wake_payloads.store(-1);
        return false;
    }
    return true;
}

void ReleaseTracker::Drain() const
{
    uint64_t count;
    while (read(event.Get(), &count, sizeof(count)) == static_cast<ssize_t>(sizeof(count))) { }
}

void ReleaseTracker::Released(size_t length)
{
    const size_t bytes = outstanding_bytes.fetch_sub(length) - length;
    const size_t payloads = outstanding.fetch_sub(1) - 1;
    long wanted = wake_payloads.load();
    // One write per wait: whoever clears the request writes.
    if (wanted >= 0 && payloads <= static_cast<size_t>(wanted) && bytes <= wake_bytes.load() &&
        wake_payloads.compare_exchange_strong(wanted, -1)) {
        const uint64_t one = 1;
        ssize_t n = write(event.Get(), &one, sizeof(one));
        (void)n;
    }
}

std::string Where::Text() const
{
    return file != nullptr ? *file : "line " + std::to_string(line);
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
    bool Gzip(const uint8_t *in, size_t length, std::vector<uint8_t> &out)
    {
        if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8,
                Z_DEFAULT_STRATEGY) != Z_OK)
            return false;
        ready = true;
        out.resize(deflateBound(&stream, static_cast<uLong>(length)));
        stream.next_in = const_cast<Bytef *>(in);
        stream.avail_in = static_cast<uInt>(length);
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

// A whole file in a buffer of its own, read straight into it. False with
// errno set when it cannot be read.
bool ReadFile(const std::string &path, Body &body)
{
    FileDescriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) return false;
    struct stat st;
    if (fstat(fd.Get(), &st) != 0) return false;
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    // One byte more than the size, so that the end shows without a second
    // buffer; a file that grows, or one whose size says nothing (/proc),
    // gets a larger one.
    size_t capacity = static_cast<size_t>(st.st_size > 0 ? st.st_size : 4096) + 1;
    auto buffer = std::make_unique_for_overwrite<uint8_t[]>(capacity);
    size_t length = 0;
    for (;;) {
        if (length == capacity) {
            auto larger = std::make_unique_for_overwrite<uint8_t[]>(capacity * 2);
            memcpy(larger.get(), buffer.get(), length);
            buffer = std::move(larger);
            capacity *= 2;
        }
        ssize_t n = read(fd.Get(), buffer.get() + length, capacity - length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        length += static_cast<size_t>(n);
    }
    body = Body::Own(std::move(buffer), length);
    return true;
}

bool Blank(const uint8_t *data, size_t length)
{
    for (size_t i = 0; i < length; i++) {
        const uint8_t c = data[i];
        if (c != ' ' && c != '\t' && c != '\r' && c != '\f' && c != '\v') return false;
    }
    return true;
}

// A buffer filled by read().
// Buffers of the standard size, kept for the next block once every payload
// in theirs is gone. A fresh buffer costs a page fault for every page on its
// first write, which on some machines costs more than reading into it.
class BlockPool
{
public:
    static constexpr size_t block_size = 1u << 20;

    std::unique_ptr<uint8_t[]> Take()
    {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (!kept.empty()) {
                std::unique_ptr<uint8_t[]> buffer = std::move(kept.back());
                kept.pop_back();
                return buffer;
            }
        }
        return std::make_unique_for_overwrite<uint8_t[]>(block_size);
    }

    void Give(std::unique_ptr<uint8_t[]> buffer)
    {
        // As many as reading may run ahead, and some room.
        constexpr size_t most = max_outstanding_bytes / block_size + 4;
        std::lock_guard<std::mutex> guard(lock);
        if (kept.size() < most) kept.push_back(std::move(buffer));
    }

private:
    std::mutex lock;
    std::vector<std::unique_ptr<uint8_t[]>> kept;
};

// A buffer filled by read(): of the pool's size, or larger for a line that
// does not fit one.
class ReadBlock : public InputBlock
{
public:
    ReadBlock(const std::shared_ptr<BlockPool> &pool, size_t capacity)
        : pool(capacity == BlockPool::block_size ? pool : nullptr),
          bytes(this->pool ? pool->Take() : std::make_unique_for_overwrite<uint8_t[]>(capacity))
    {
        data = bytes.get();
        size = capacity;
    }
    ~ReadBlock() override
    {
        if (pool) pool->Give(std::move(bytes));
    }
    ReadBlock(const ReadBlock &) = delete;
    ReadBlock &operator=(const ReadBlock &) = delete;

    uint8_t *Writable() { return bytes.get(); }

private:
    std::shared_ptr<BlockPool> pool;
    std::unique_ptr<uint8_t[]> bytes;
};

// Cuts input into lines and queues each non-blank one. Lines point into the
// block they were read into: nothing is copied on the way to the plug-in.
class LineFeeder
{
public:
    LineFeeder(Sink &sink, EventLoop &loop, ReleaseTracker &tracker) : sink(sink), loop(loop), tracker(tracker) { }

    // Queues every whole line of block[start, end), the first newline being
    // at or after `search`. Returns the start of the unfinished line after
    // the last newline; f.end tells whether to go on.
    size_t Lines(const std::shared_ptr<const InputBlock> &block, size_t start, size_t search, size_t end)
    {
        const uint8_t *data = block->Data();
        while (search < end) {
            const void *newline = memchr(data + search, '\n', end - search);
            if (newline == nullptr) break;
            const size_t stop = static_cast<size_t>(static_cast<const uint8_t *>(newline) - data);
            if (!Line(block, data + start, stop - start)) return stop + 1;
            start = search = stop + 1;
        }
        return start;
    }

    // Queues one line (without its newline). False when reading must stop.
    bool Line(const std::shared_ptr<const InputBlock> &block, const uint8_t *text, size_t length)
    {
        line_number++;
        if (length > 0 && text[length - 1] == '\r') length--;
        if (Blank(text, length)) return true;
        if (!loop.Room(length) && (f.end = loop.Throttle(length)) != Wait::Ready) return false;
        Body body;
        body.block = block;
        body.data = text;
        body.length = length;
        if (!sink.Queue(std::move(body), Where{ nullptr, line_number })) f.bad_input = true;
        return true;
    }

    Feed f;

private:
    Sink &sink;
    EventLoop &loop;
    ReleaseTracker &tracker;
    size_t line_number = 0;
};

} // namespace

bool Sink::Queue(Body body, const Where &where)
{
    vxFlags<vxPlugin::DispatchFlags> flags;
    if (options.msgpack) {
        try {
            nlohmann::json value = nlohmann::json::parse(body.data, body.data + body.length);
            body = Body::Own(nlohmann::json::to_msgpack(value));
        }
        catch (const nlohmann::json::exception &e) {
            Error(where.Text() + ": not JSON, skipped: " + e.what());
            return false;
        }
        flags.Set(vxPlugin::FORMAT_MSGPACK);
    }
    else
        flags.Set(vxPlugin::FORMAT_JSON);

    if (options.gzip) {
        std::vector<uint8_t> compressed;
        Deflater deflater;
        if (body.length > UINT32_MAX || !deflater.Gzip(body.data, body.length, compressed)) {
            Error(where.Text() + ": cannot compress, skipped");
            return false;
        }
        body = Body::Own(compressed);
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
            else if (info.ssi_signo == SIGUSR1) {
                // Read here, on this thread, while the plug-in's posts
                // go on: the agent asks the same way.
                nlohmann::json status;
                plugin.GetStatus(status);
                plugin.DisplayStatus(status);
            }
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

Wait EventLoop::WaitBelow(size_t payloads, size_t bytes)
{
    for (;;) {
        if (!tracker.WakeAt(payloads, bytes)) return Check();
        if (Wait w = Poll(-1, nullptr); w != Wait::Ready) return w;
    }
}

bool EventLoop::LookAtQueue()
{
    const vxPluginSink::QueueLevel level = plugin.Queued();
    if (level.payloads >= max_outstanding || level.bytes >= max_outstanding_bytes) {
        room_payloads = room_bytes = 0;
        return false;
    }
    room_payloads = max_outstanding - level.payloads;
    room_bytes = max_outstanding_bytes - level.bytes;
    return true;
}

bool EventLoop::Room(size_t length)
{
    if (tracker.Outstanding() < max_outstanding && tracker.OutstandingBytes() < max_outstanding_bytes) {
        room_payloads = room_bytes = 0;
        return true;
    }
    // As before, a body is let in while the queue is below the byte limit,
    // however large the body.
    if ((room_payloads == 0 || room_bytes < length) && !LookAtQueue()) return false;
    room_payloads--;
    room_bytes -= std::min(room_bytes, length);
    return true;
}

Wait EventLoop::Throttle(size_t length)
{
    if (Room(length)) return Check();
    // Released payloads wake this, as in serial delivery, where the queue
    // and what is unreleased differ by the one payload being posted. A
    // payload a channel keeps waiting is not released however soon it left
    // the queue, so the queue is also looked at again on a timer, from 1 ms
    // up to 16 ms while it stays above half.
    constexpr int longest_ms = 16;
    int timeout_ms = 1;
    for (;;) {
        Wait w = tracker.WakeAt(max_outstanding / 2, max_outstanding_bytes / 2) ? Poll(-1, nullptr, timeout_ms)
                                                                                 : Check();
        if (w != Wait::Ready) return w;
        const vxPluginSink::QueueLevel level = plugin.Queued();
        if (level.payloads <= max_outstanding / 2 && level.bytes <= max_outstanding_bytes / 2) {
            room_payloads = max_outstanding - level.payloads - 1;
            room_bytes = max_outstanding_bytes - level.bytes;
            room_bytes -= std::min(room_bytes, length);
            return Wait::Ready;
        }
        timeout_ms = std::min(timeout_ms * 2, longest_ms);
    }
}

Wait EventLoop::Drained() { return WaitBelow(0, 0); }

Feed FeedFiles(const Options &options, Sink &sink, EventLoop &loop)
{
    Feed f;
    for (const std::string &path : options.files) {
        Body body;
        if (!ReadFile(path, body)) {
            Error(path + ": cannot read: " + strerror(errno));
            f.bad_input = true;
            if ((f.end = loop.Check()) != Wait::Ready) return f;
            continue;
        }
        // Read first, so that its size counts against the queue's bytes.
        if ((f.end = loop.Throttle(body.length)) != Wait::Ready) return f;
        if (!sink.Queue(std::move(body), Where{ &path, 0 })) f.bad_input = true;
    }
    return f;
}

Feed FeedLines(Sink &sink, EventLoop &loop, ReleaseTracker &tracker)
{
    LineFeeder feeder(sink, loop, tracker);

    // Reads fill a block; lines point into it. The unfinished line at the
    // end of a full block is the only text ever copied, to the start of the
    // next one. Reading a file costs less than mapping it: a page fault for
    // every page of a mapping costs more than read()'s copy.
    constexpr size_t block_size = BlockPool::block_size;
    // Read in parts of a block, so that cutting lines follows the copy while
    // it is still in the processor's cache.
    constexpr size_t read_size = 256u << 10;
    auto pool = std::make_shared<BlockPool>();
    auto block = std::make_shared<ReadBlock>(pool, block_size);
    size_t capacity = block_size, start = 0, filled = 0;
    for (;;) {
        if (filled == capacity) {
            const size_t carry = filled - start;
            capacity = std::max(block_size, carry * 2);
            auto next = std::make_shared<ReadBlock>(pool, capacity);
            memcpy(next->Writable(), block->Data() + start, carry);
            block = std::move(next);
            start = 0;
            filled = carry;
        }
        bool ready = false;
        if ((feeder.f.end = loop.Poll(STDIN_FILENO, &ready)) != Wait::Ready) return feeder.f;
        if (!ready) continue;

        ssize_t n = read(STDIN_FILENO, block->Writable() + filled, std::min(read_size, capacity - filled));
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            Error(std::string("standard input: ") + strerror(errno));
            feeder.f.bad_input = true;
            break;
        }
        if (n == 0) break;
        const size_t search = filled;
        filled += static_cast<size_t>(n);
        start = feeder.Lines(block, start, search, filled);
        if (feeder.f.end != Wait::Ready) return feeder.f;
    }
    if (start < filled) feeder.Line(block, block->Data() + start, filled - start);
    return feeder.f;
}

} // namespace vxsink
