#ifndef HTS_SPOOL_H
#define HTS_SPOOL_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "delivery/drop_episode.h"
#include "delivery/file_sync_pool.h"
#include "delivery/spool_index.h"
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
    std::string id;    // the payload's own id, when it has one; kept as "id"
    // The collector refused it for good: read back only on request.
    bool rejected = false;
};

// What Put() does with a payload while the queue to the disk is past
// htsSpool::queue_bytes_max.
enum class htsSpoolPut {
    drop,   // drops it, logged once per episode ("spool behind, dropping payloads")
    refuse, // leaves it with the caller: Put() returns false, nothing logged or counted
    always, // queues it anyway: for a stop, where the memory is held already
};

// Figures of one channel's use of the spool. Files and bytes are the channel's
// files in its folder: those found when the folder was first used (counted
// in while the spool's thread is idle, so they may lag just after the first
// use of a folder with many files) plus those written, less those drained
// or found gone at a rescan.
struct htsSpoolFigures {
    unsigned long long spooled = 0;         // payloads written to a file
    unsigned long long files = 0;
    unsigned long long bytes = 0;
    unsigned long long lost_behind = 0;     // dropped for the queue to the disk
    unsigned long long lost_full = 0;       // the folder at its bound
    unsigned long long lost_unwritable = 0; // the folder could not be written
    unsigned long long lost_writer = 0;     // the writer failed (no memory)
    unsigned long long drained = 0;         // read back, delivered and deleted
    unsigned long long broken = 0;          // files of the channel moved aside
    unsigned long long rejected = 0;        // of `files`, those kept as refused for good
};

struct htsSpoolSnapshot {
    std::map<std::string, htsSpoolFigures> channels;
    // Whole scans of folders, those at first use included: a full folder is
    // scanned again at most once per htsSpool::rescan_interval.
    unsigned long long scans = 0;
    // Files moved aside whose channel could not be told.
    unsigned long long broken_unknown = 0;
};

// A payload read back from the spool.
struct htsSpooled {
    std::shared_ptr<vxPluginSinkPayload> payload; // addressed to its channel, with the file's flags
    std::string handle; // the file, for Delivered() or Released()
    std::string id;     // "id" of the file, empty when it has none
    std::string error;  // the error it was spooled with
    bool rejected = false;
    int64_t when_ms = 0;
};

struct htsSpoolRead {
    std::string channel;
    std::string dir;
    size_t max_payloads = 64;
    uint64_t max_bytes = 16u << 20; // at least one payload is read, however large
    bool rejected_too = false;
};

// The answer to one Read(): the channel's oldest payloads not handed out yet,
// oldest first; empty when there are none left.
struct htsSpoolReadResult {
    std::string channel;
    std::vector<htsSpooled> payloads;
};

// Keeps undelivered payloads on disk, one file each (see spool_file.h).
// Files are named so that their order is the order they were spooled in, and
// appear whole or not at all: written under a hidden name, flushed to the
// disk and renamed, the folder flushed after the renames.
//
// The disk work happens on a thread of its own, so that a slow or full disk
// never holds up the transfers of other channels: Put(), Read(),
// Delivered() and Released() only queue. A folder that cannot be written or
// would pass its bound loses the payload with one line per episode; nothing
// thrown on the thread ends the agent (a failed batch is counted as
// lost_writer and logged: "spool writer failed: WHY, N payloads lost"). The
// first time the process uses a folder it puts right what a crash left
// (htsRecoverSpoolFolder; each file moved aside is logged) and every spool
// counts the folder's bytes once; after that it accounts for
// what it writes and deletes, and counts a full folder again at most once
// per rescan_interval, in case something else (a replay) emptied it.
class htsSpool
{
public:
    explicit htsSpool(const std::string &tag);
    // Writes what is queued and ends the thread.
    ~htsSpool();

    htsSpool(const htsSpool &) = delete;
    htsSpool &operator=(const htsSpool &) = delete;

    // From the delivery thread; never waits for the disk. True when the
    // payload was queued (`entry` is moved from); false when the queue is
    // past queue_bytes_max: under htsSpoolPut::drop it is dropped, logged
    // once per episode and counted as lost_behind; under htsSpoolPut::refuse
    // `entry` is left untouched for the caller to keep and offer again
    // later (Behind() tells when). htsSpoolPut::always never refuses: a stop
    // hands over everything still held with it, since those payloads are in
    // memory anyway, and Finish() then waits until they are on disk.
    bool Put(htsSpoolEntry &&entry, htsSpoolPut mode = htsSpoolPut::drop);
    // Whether the queue to the disk is past its bound.
    bool Behind() const;

    // Asks the thread for a channel's oldest payloads. The answer comes
    // through TakeReadResults(), and `wake` (SetWake) is called when it is
    // there. Files handed out are not read again until Released(); a file
    // that does not parse is moved aside (as by htsRecoverSpoolFolder) and
    // logged.
    void Read(htsSpoolRead request);
    // Answers ready now, oldest request first; never waits.
    std::vector<htsSpoolReadResult> TakeReadResults();
    // Called on the spool's thread, without the spool's lock, whenever an
    // answer is ready: it may call TakeReadResults() but should only wake the
    // engine (the disk work waits while it runs).
    void SetWake(std::function<void()> wake);
    // The payload of `handle` was delivered: its file is deleted (on the
    // spool's thread) and counted as drained.
    void Delivered(const std::string &handle);
    // The payload of `handle` stays spooled and may be read again.
    void Released(const std::string &handle);
    // (A payload read back that the collector then refused for good is
    // marked by Put() of an entry with `rejected` set, then Delivered() of
    // its handle: the new file replaces the old.)

    // Waits until everything queued so far is done (written, read, deleted
    // or given up) and ends the thread; a later call starts it again.
    void Finish();

    htsSpoolSnapshot Snapshot() const;

    // Queued bodies past which Put() drops (or refuses) rather than holds
    // more memory.
    static constexpr uint64_t queue_bytes_max = 256u << 20;
    // A full folder is counted again at most this often; set before first use.
    std::chrono::milliseconds rescan_interval{ 5000 };
    // Names of a folder a read lists at a time; set before first use.
    size_t listing_window = 4096;
    // Files of a folder the spool keeps track of in memory; set before first
    // use.
    size_t index_capacity = htsSpoolIndex::default_capacity;

private:
    struct Folder {
        bool size_known = false;
        uint64_t size = 0;
        std::chrono::steady_clock::time_point scanned;
        // Episodes, each logged once at the start and once at the end.
        bool failing = false;
        bool full = false;
        unsigned long long lost = 0;
        // Channel and size of the files seen, so that a read does not parse
        // every head again.
        htsSpoolIndex known;
        // Some file of the folder could not join the index (it was full): a
        // file a read finds neither there nor among those found at first use
        // is taken for one counted already.
        bool unindexed = false;
        // Files found at first use whose head is not read yet.
        htsSpoolNames unattributed;
    };

    struct Pending {
        htsSpoolEntry entry;
        std::string name; // final file name, which gives the order
        int64_t when_ms = 0;
        enum State { queued, written, done } state = queued;
    };

    struct Outstanding {
        std::string channel;
        std::string dir;
        std::string name;
        uint64_t size = 0;
        bool rejected = false;
    };

    void Start();
    void Run();
    void WriteBatch(std::deque<Pending> &batch);
    void LoseWriterFailure(std::deque<Pending> &batch, const char *what) noexcept;
    void LoseBatch(std::deque<Pending> &batch, const char *what);
    // Drops `p` for a folder that is full or cannot be written.
    void Lose(Folder &folder, const Pending &p, bool full, int error);
    void Recovered(Folder &folder, const Pending &p);
    // The folder's state, counted (and put right) when first used.
    Folder &Use(const std::string &dir, int &error);
    bool Scan(const std::string &dir, Folder &folder, bool first, int &error);
    // Reads the heads of up to `count` files found at first use; true while
    // some are left.
    bool Attribute(size_t count);
    htsSpoolReadResult DoRead(const htsSpoolRead &request);
    void DoDelete(const std::string &handle);
    void MoveAside(int dir_fd, const std::string &dir, Folder &folder, const std::string &name,
        const std::string &why);
    template <typename F> void Count(const std::string &channel, F change);
    // A file found in a folder (not written here) joins its channel's figures.
    void CountFound(const std::string &channel, uint64_t size, bool rejected);

    const std::string tag;
    mutable std::mutex lock;
    std::condition_variable cond;
    std::deque<Pending> queue;
    std::deque<htsSpoolRead> reads;
    std::deque<std::string> deletes;
    std::vector<htsSpoolReadResult> results;
    std::shared_ptr<const std::function<void()>> wake; // copied without allocating
    // Handles given out by a read, not yet delivered or released.
    std::map<std::string, Outstanding> outstanding;
    uint64_t queued_bytes = 0;
    bool ending = false;
    htsDropEpisode queue_behind;
    std::thread writer;
    mutable std::mutex figures_lock;
    htsSpoolSnapshot figures;
    // Only the writer thread touches these.
    std::map<std::string, Folder> folders;
    htsFileSyncPool syncs{ 8 };
    std::deque<Pending> writing;
    std::deque<std::string> deleting;
    std::deque<htsSpoolRead> reading;
    bool attributing = false;
};

#endif
