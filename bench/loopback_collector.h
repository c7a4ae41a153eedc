#ifndef VX_BENCH_LOOPBACK_COLLECTOR_H
#define VX_BENCH_LOOPBACK_COLLECTOR_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>
#include <thread>

namespace vxbench {

// A collector of the benchmark's own on 127.0.0.1: one thread and epoll,
// keep-alive HTTP/1.1, every POST read to its end and answered 200 after a
// fixed delay, or never (a hung collector). Cheap enough that at a few
// thousand posts per second the delay, not the server, sets the pace.
// How the payloads numbered 0 to count - 1 arrived at a collector.
struct IdTally {
    uint64_t once = 0, duplicated = 0, missing = 0;
};

class LoopbackCollector
{
public:
    // `never_answer` reads every request and answers none.
    explicit LoopbackCollector(std::chrono::microseconds delay, bool never_answer = false);
    ~LoopbackCollector();
    LoopbackCollector(const LoopbackCollector &) = delete;
    LoopbackCollector &operator=(const LoopbackCollector &) = delete;

    std::string Url(const std::string &path) const;
    // Gone as a collector killed mid-stream is: its connections closed, its
    // port refusing; the counts stay readable.
    void Kill();
    // Requests whose body arrived whole, and answers written.
    uint64_t Received() const { return received.load(); }
    uint64_t Answered() const { return answered.load(); }
    // Waits until `count` answers are written; false when `timeout` ran out.
    bool WaitAnswered(uint64_t count, std::chrono::milliseconds timeout) const;
    // Connections accepted so far.
    uint64_t Connections() const { return connections.load(); }

    // Failing on purpose: answers 503 to a share of the posts, picked at
    // random, or to every post while down.
    void FailShare(double share) { fail_per_million.store(static_cast<uint32_t>(share * 1e6)); }
    void SetDown(bool value) { down.store(value); }
    uint64_t Failed() const { return failed.load(); }
    // A collector of limited means, set before the first post: at most
    // `servers` posts served at once, the rest queued in order (0: no
    // limit); a post that would be the one past `refuse_above` waiting or
    // served at once is answered 503 at once (0: never).
    void SetServers(size_t value) { servers.store(value); }
    void SetRefuseAbove(size_t value) { refuse_above.store(value); }
    // Bodies that begin "seq=N": how often each N was answered 200 (counted
    // as the answer goes out, so a post cut off before it is not).
    std::unordered_map<uint64_t, uint32_t> Accepted() const
    {
        std::lock_guard<std::mutex> guard(accepted_lock);
        std::unordered_map<uint64_t, uint32_t> counts = accepted_far;
        for (uint64_t id = 0; id < accepted.size(); id++)
            if (accepted[id] != 0) counts[id] += accepted[id];
        return counts;
    }
    IdTally Tally(uint64_t count) const
    {
        IdTally t;
        const auto counts = Accepted();
        for (uint64_t id = 0; id < count; id++) {
            auto it = counts.find(id);
            if (it == counts.end()) t.missing++;
            else if (it->second == 1) t.once++;
            else t.duplicated++;
        }
        return t;
    }

private:
    void Run();

    std::chrono::microseconds delay;
    bool never_answer;
    int listen_fd = -1;
    int epoll_fd = -1;
    int stop_fd = -1;
    int port = 0;
    std::atomic<uint64_t> received{ 0 };
    std::atomic<uint64_t> answered{ 0 };
    std::atomic<uint64_t> connections{ 0 };
    std::atomic<uint32_t> fail_per_million{ 0 };
    std::atomic<bool> down{ false };
    std::atomic<uint64_t> failed{ 0 };
    std::atomic<size_t> servers{ 0 };
    std::atomic<size_t> refuse_above{ 0 };
    mutable std::mutex accepted_lock;
    // Counts by id, four bytes each: the benchmarks number their payloads
    // from 0, and a collector in the same process as the plug-in must not
    // weigh on the plug-in's memory figures. Ids past dense_ids_max go to
    // the map.
    static constexpr uint64_t dense_ids_max = 1u << 26;
    std::vector<uint32_t> accepted;
    std::unordered_map<uint64_t, uint32_t> accepted_far;
    std::thread thread;
};

} // namespace vxbench

#endif
