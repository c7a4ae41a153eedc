#ifndef HTS_SPOOL_H
#define HTS_SPOOL_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "vxplugin.h"

// A payload that could not be delivered, on its way to a channel's spool
// folder.
struct htsSpoolEntry {
    std::shared_ptr<vxPluginSinkPayload> payload;
    std::string channel;
    std::string url; // masked, for the log
    std::string dir;
    uint64_t max_bytes = 0;
    std::string error; // why it was not delivered
};

// Keeps undelivered payloads on disk, one file each: a first line of JSON
// (channel, flags, when, error, length) and then the body as it would have
// been posted. Files are named so that their order is the order they were
// spooled in, and appear whole or not at all: written under a hidden name,
// flushed to the disk and renamed.
//
// The disk work happens on a thread of its own, so that a slow or full disk
// never holds up the transfers of other channels. Put() only queues; a
// folder that cannot be written or would pass its bound loses the payload
// with one line per episode.
class htsSpool
{
public:
    explicit htsSpool(const std::string &tag);
    // Writes what is queued and ends the thread.
    ~htsSpool();

    htsSpool(const htsSpool &) = delete;
    htsSpool &operator=(const htsSpool &) = delete;

    // From the delivery thread; never waits for the disk.
    void Put(htsSpoolEntry entry);
    // Waits until everything queued so far is on disk (or given up) and ends
    // the thread; a later Put() starts it again.
    void Finish();

    // Queued bodies past which Put() drops rather than holds more memory.
    static constexpr uint64_t queue_bytes_max = 256u << 20;

private:
    struct Folder {
        bool size_known = false;
        uint64_t size = 0;
        // Episodes, each logged once at the start and once at the end.
        bool failing = false;
        bool full = false;
        unsigned long long lost = 0;
    };

    struct Pending {
        htsSpoolEntry entry;
        std::string name; // final file name, which gives the order
        int64_t when_ms = 0;
    };

    void Run();
    void WriteBatch(std::deque<Pending> &batch);
    // Drops `p` for a folder that is full or cannot be written.
    void Lose(Folder &folder, const Pending &p, bool full, int error);
    void Recovered(Folder &folder, const Pending &p);

    const std::string tag;
    std::mutex lock;
    std::condition_variable cond;
    std::deque<Pending> queue;
    uint64_t queued_bytes = 0;
    bool ending = false;
    bool queue_full = false;
    unsigned long long queue_lost = 0;
    std::thread writer;
    // Only the writer thread touches these.
    std::map<std::string, Folder> folders;
};

#endif
