#ifndef VXSINK_INPUT_H
#define VXSINK_INPUT_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "vxplugin.h"
#include "vxsink_options.h"

namespace vxsink {

// Payloads queued but not yet released by the plug-in. Reading pauses at this
// many, so a fast producer cannot grow the queue without bound while the
// collector is slow.
constexpr size_t max_outstanding = 1024;

// Closes a descriptor on every path out.
class FileDescriptor
{
public:
    explicit FileDescriptor(int fd = -1) : fd(fd) { }
    ~FileDescriptor();
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int Get() const { return fd; }

private:
    int fd;
};

// Counts payloads the plug-in still holds and wakes the main loop as each one
// is released, on whichever thread drops the last reference.
class ReleaseTracker
{
public:
    bool Open();

    // A payload owning `body`, counted until the plug-in lets it go.
    std::shared_ptr<vxPluginSinkPayload> Make(std::vector<uint8_t> body,
        const std::set<std::string> &channels, vxFlags<vxPlugin::DispatchFlags> flags);

    size_t Outstanding() const { return outstanding.load(); }
    int WakeFd() const { return read_end->Get(); }
    void Drain() const;

private:
    struct Holder;
    void Released();

    std::atomic<size_t> outstanding{ 0 };
    std::unique_ptr<FileDescriptor> read_end;
    std::unique_ptr<FileDescriptor> write_end;
};

// Turns input into payloads as the options ask and queues them.
class Sink
{
public:
    Sink(const Options &options, vxPluginSink &plugin, ReleaseTracker &tracker)
        : options(options), plugin(plugin), tracker(tracker)
    { }

    // Queues one body; `where` names it in error lines ("file.json",
    // "line 3"). False when the input was refused.
    bool Queue(std::vector<uint8_t> body, const std::string &where);

private:
    const Options &options;
    vxPluginSink &plugin;
    ReleaseTracker &tracker;
};

enum class Wait { Ready, Stop, Failed };

// Waits for something to do: a signal (reload handled here, stop returned),
// a released payload, or input on `input` (-1: none wanted). `timeout_ms` -1
// waits as long as it takes.
class EventLoop
{
public:
    EventLoop(int signal_fd, vxPlugin &plugin, ReleaseTracker &tracker)
        : signal_fd(signal_fd), plugin(plugin), tracker(tracker)
    { }

    Wait Poll(int input, bool *input_ready, int timeout_ms = -1);

    // Handles pending signals without blocking.
    Wait Check() { return Poll(-1, nullptr, 0); }

    // Blocks while the plug-in holds `limit` payloads or more.
    Wait Throttle(size_t limit);

    int StopSignal() const { return stop_signal; }

private:
    int signal_fd;
    vxPlugin &plugin;
    ReleaseTracker &tracker;
    int stop_signal = 0;
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
