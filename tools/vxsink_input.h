#ifndef VXSINK_INPUT_H
#define VXSINK_INPUT_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "vxplugin.h"
#include "vxsink_options.h"

namespace vxsink {

// Payloads queued but not yet taken by the plug-in, by count and by body
// bytes. Reading pauses at either limit, so a fast producer cannot grow the
// queue without bound while the collector is slow, and resumes once the
// queue is down to half of both. The byte limit keeps the bodies read ahead
// within the processor's caches, where the post finds them again.
//
// What the plug-in has taken and keeps waiting (a channel's backlog) does not
// count: each channel bounds that itself, and a channel that does not answer
// must not hold up input for the others. While the plug-in holds fewer than
// the limits in all, nothing is asked of the queue: what is queued is part of
// what is held.
constexpr size_t max_outstanding = 1024;
constexpr size_t max_outstanding_bytes = 2u << 20;

// Closes a descriptor on every path out.
class FileDescriptor
{
public:
    explicit FileDescriptor(int fd = -1) : fd(fd) { }
    ~FileDescriptor();
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int Get() const { return fd; }
    void Reset(int new_fd);

private:
    int fd;
};

// Signals are taken from a descriptor, never in a handler: blocked before any
// thread exists, so every thread (the plug-in's, libcurl's) inherits the mask
// and none of them is interrupted. Blocks `signals` (and ignores SIGPIPE) and
// opens `fd` to read them; false after a line saying why it could not.
bool TakeSignals(std::initializer_list<int> signals, FileDescriptor &fd);

// Memory that input is read into and payload bodies point into, shared by
// every payload in it and freed with the last one.
class InputBlock
{
public:
    virtual ~InputBlock() = default;
    const uint8_t *Data() const { return data; }
    size_t Size() const { return size; }

protected:
    const uint8_t *data = nullptr;
    size_t size = 0;
};

// A body for one payload: bytes of an input block, or a buffer of its own
// (the result of a conversion, a whole file).
struct Body {
    std::shared_ptr<const InputBlock> block;
    const uint8_t *data = nullptr;
    size_t length = 0;
    std::unique_ptr<uint8_t[]> owned;

    static Body Own(std::unique_ptr<uint8_t[]> bytes, size_t length);
    static Body Own(const std::vector<uint8_t> &bytes);
};

// Counts payloads the plug-in still holds, and wakes the main loop when it has
// asked to be woken and the count has fallen far enough; a release costs no
// system call otherwise.
class ReleaseTracker
{
public:
    bool Open();

    // A payload holding `body`, counted until the plug-in lets it go.
    std::shared_ptr<vxPluginSinkPayload> Make(Body body,
        const std::set<std::string> &channels, vxFlags<vxPlugin::DispatchFlags> flags);

    size_t Outstanding() const { return outstanding.load(); }
    size_t OutstandingBytes() const { return outstanding_bytes.load(); }
    // Asks for a wake-up on WakeFd() once at most `payloads` payloads and
    // `bytes` body bytes are held; false, asking nothing, when that is so
    // already.
    bool WakeAt(size_t payloads, size_t bytes);
    int WakeFd() const { return event.Get(); }
    void Drain() const;

private:
    struct Holder;
    void Released(size_t length);

    std::atomic<size_t> outstanding{ 0 };
    std::atomic<size_t> outstanding_bytes{ 0 };
    // The levels to wake the main loop at; payloads -1 when it is not
    // waiting.
    std::atomic<long> wake_payloads{ -1 };
    std::atomic<size_t> wake_bytes{ 0 };
    FileDescriptor event;
};

// Where a body came from, for error lines: a file, or a line of standard
// input. Made into text only for an error.
struct Where {
    const std::string *file = nullptr;
    size_t line = 0;

    std::string Text() const;
};

// Turns input into payloads as the options ask and queues them.
class Sink
{
public:
    Sink(const Options &options, vxPluginSink &plugin, ReleaseTracker &tracker)
        : options(options), plugin(plugin), tracker(tracker)
    { }

    // Queues one body. False when the input was refused.
    bool Queue(Body body, const Where &where);

private:
    const Options &options;
    vxPluginSink &plugin;
    ReleaseTracker &tracker;
};

enum class Wait { Ready, Stop, Failed };

// Waits for something to do: a signal (reload and status handled here, stop
// returned), a wake-up of the tracker, or input on `input` (-1: none
// wanted). `timeout_ms` -1 waits as long as it takes.
class EventLoop
{
public:
    EventLoop(int signal_fd, vxPluginSink &plugin, ReleaseTracker &tracker)
        : signal_fd(signal_fd), plugin(plugin), tracker(tracker)
    { }

    Wait Poll(int input, bool *input_ready, int timeout_ms = -1);

    // Handles pending signals without blocking.
    Wait Check() { return Poll(-1, nullptr, 0); }

    // Whether a body of `length` bytes may be queued now without waiting;
    // counts it if so. Costs no lock while the plug-in holds less than
    // reading may run ahead.
    bool Room(size_t length);
    // Blocks while the queue holds as many payloads or bytes as reading may
    // run ahead, until it is down to half of both, then counts a body of
    // `length` bytes.
    Wait Throttle(size_t length = 0);
    // Blocks until the plug-in holds no payload.
    Wait Drained();

    int StopSignal() const { return stop_signal; }

private:
    Wait WaitBelow(size_t payloads, size_t bytes);

    // Takes the queue's level; false when reading has to wait for it.
    bool LookAtQueue();

    int signal_fd;
    vxPluginSink &plugin;
    ReleaseTracker &tracker;
    int stop_signal = 0;
    // What may still be queued, from the last look at the queue, less what
    // was queued since: the queue only shrinks meanwhile, so it stays a
    // bound and the queue is looked at again only once it is spent.
    size_t room_payloads = 0;
    size_t room_bytes = 0;
};

// Result of feeding all input: whether some was refused, or a stop signal.
struct Feed {
    bool bad_input = false;
    Wait end = Wait::Ready;
};

// Each file named on the command line is one payload.
Feed FeedFiles(const Options &options, Sink &sink, EventLoop &loop);
// Each non-blank line of standard input is one payload.
Feed FeedLines(Sink &sink, EventLoop &loop, ReleaseTracker &tracker);

} // namespace vxsink

#endif
