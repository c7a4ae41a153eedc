#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "delivery/file_sync_pool.h"

htsFileSyncPool::htsFileSyncPool(size_t threads) : wanted(threads) { }

htsFileSyncPool::~htsFileSyncPool()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        ending = true;
    }
    work.notify_all();
    for (std::thread &t : threads) t.join();
}

bool htsFileSyncPool::FlushNext(std::unique_lock<std::mutex> &guard)
{
    if (batch == nullptr || next >= batch->size()) return false;
    const size_t i = next++;
    const int fd = (*batch)[i];
    guard.unlock();
    const int error = fdatasync(fd) == 0 ? 0 : errno;
    guard.lock();
    (*errors)[i] = error;
    if (++finished == batch->size()) done.notify_all();
    return true;
}

void htsFileSyncPool::Run()
{
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        work.wait(guard, [this] { return ending || (batch != nullptr && next < batch->size()); });
        if (ending) return;
        FlushNext(guard);
    }
}

std::vector<int> htsFileSyncPool::Sync(const std::vector<int> &fds)
{
    std::vector<int> result(fds.size(), 0);
    if (fds.empty()) return result;
    std::unique_lock<std::mutex> guard(lock);
    while (threads.size() < wanted && threads.size() + 1 < fds.size()) {
        try {
            threads.emplace_back([this] { Run(); });
        }
        catch (const std::system_error &) {
            break; // the calling thread does the rest
        }
    }
    batch = &fds;
    errors = &result;
    next = 0;
    finished = 0;
    work.notify_all();
    while (FlushNext(guard)) { }
    done.wait(guard, [&] { return finished == fds.size(); });
    batch = nullptr;
    errors = nullptr;
    return result;
}
