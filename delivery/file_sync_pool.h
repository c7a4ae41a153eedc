#ifndef HTS_FILE_SYNC_POOL_H
#define HTS_FILE_SYNC_POOL_H

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

// Flushes many files to the disk at once. A journaling file system commits
// flushes that overlap in one go, so a few threads flushing side by side
// write several times as many small files per second as one thread flushing
// them one after another.
class htsFileSyncPool
{
public:
    // `threads` helpers at most, started at the first Sync().
    explicit htsFileSyncPool(size_t threads);
    ~htsFileSyncPool();

    htsFileSyncPool(const htsFileSyncPool &) = delete;
    htsFileSyncPool &operator=(const htsFileSyncPool &) = delete;

    // fdatasync() of every descriptor, the calling thread helping; returns
    // each one's errno (0 when it is on the disk), in order. Without helpers
    // (none could be started) the calling thread flushes them all.
    std::vector<int> Sync(const std::vector<int> &fds);

private:
    void Run();
    // Takes the next descriptor of the batch and flushes it; false when
    // none is left. Called with `guard` locked; unlocks it while flushing.
    bool FlushNext(std::unique_lock<std::mutex> &guard);

    const size_t wanted;
    std::mutex lock;
    std::condition_variable work;
    std::condition_variable done;
    const std::vector<int> *batch = nullptr;
    std::vector<int> *errors = nullptr;
    size_t next = 0;
    size_t finished = 0;
    bool ending = false;
    std::vector<std::thread> threads;
};

#endif
