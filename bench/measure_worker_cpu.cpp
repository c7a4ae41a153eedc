// CPU time the parallel worker spends while it has nothing it can do: idle
// with channels configured, and during an outage where a retry is due but
// every place of its channel is held by a post that never ends. Either way
// the worker should sleep, not poll.
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "loopback_collector.h"
#include "measure_worker_cpu.h"

namespace vxbench {

namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

double ProcessCpuSeconds()
{
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A collector that answers its first request 503 with "Retry-After: 1" (so
// that the place it frees goes to the next payload and the retry falls due
// a second later with no place free) and then reads every
// request and answers none. Blocking threads, one per connection: they sit
// in recv() and cost no CPU of their own while the worker is measured.
class FirstFailsThenHangs
{
public:
    FirstFailsThenHangs()
    {
        listen_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listen_fd < 0) throw std::runtime_error("socket");
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (bind(listen_fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
            listen(listen_fd, 64) != 0 ||
            getsockname(listen_fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            throw std::runtime_error("cannot listen on 127.0.0.1");
        port = ntohs(address.sin_port);
        acceptor = std::thread([this] { Accept(); });
    }
    ~FirstFailsThenHangs()
    {
        // Shutting the sockets down ends every blocked call.
        shutdown(listen_fd, SHUT_RDWR);
        acceptor.join();
        {
            std::lock_guard<std::mutex> guard(lock);
            for (int fd : fds) shutdown(fd, SHUT_RDWR);
        }
        for (auto &t : readers) t.join();
        for (int fd : fds) close(fd);
        close(listen_fd);
    }
    FirstFailsThenHangs(const FirstFailsThenHangs &) = delete;
    FirstFailsThenHangs &operator=(const FirstFailsThenHangs &) = delete;

    std::string Url(const std::string &path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }
    uint64_t Requests() const { return requests.load(); }

private:
    void Accept()
    {
        for (;;) {
            const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            std::lock_guard<std::mutex> guard(lock);
            fds.push_back(fd);
            readers.emplace_back([this, fd] { Serve(fd); });
        }
    }
    // Each request's head, and the body its Content-Length gives.
    void Serve(int fd)
    {
        std::string buffer;
        char chunk[4096];
        for (;;) {
            size_t end;
            while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
                const ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
                if (n <= 0) return;
                buffer.append(chunk, static_cast<size_t>(n));
            }
            size_t length = 0;
            const size_t at = buffer.find("Content-Length: ");
            if (at != std::string::npos && at < end) length = std::stoul(buffer.substr(at + 16));
            while (buffer.size() < end + 4 + length) {
                const ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
                if (n <= 0) return;
                buffer.append(chunk, static_cast<size_t>(n));
            }
            buffer.erase(0, end + 4 + length);
            if (requests.fetch_add(1) == 0) {
                const char answer[] = "HTTP/1.1 503 Busy\r\nRetry-After: 1\r\nContent-Length: 0\r\n\r\n";
                if (send(fd, answer, sizeof(answer) - 1, MSG_NOSIGNAL) < 0) return;
            }
        }
    }

    int listen_fd = -1;
    int port = 0;
    std::atomic<uint64_t> requests{ 0 };
    std::mutex lock;
    std::vector<int> fds;
    std::vector<std::thread> readers;
    std::thread acceptor;
};

// CPU seconds the process spends per second of wall time over `seconds`.
double CpuPerSecond(double seconds)
{
    const double cpu = ProcessCpuSeconds();
    const Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    return (ProcessCpuSeconds() - cpu) / SecondsSince(start);
}

std::shared_ptr<vxPluginSinkPayload> Payload(const char *channel)
{
    return std::make_shared<vxPluginSinkPayload>(1024, MakeBody(1024, 3), std::set<std::string>{ channel },
        BenchFlags());
}

constexpr double cpu_target = 0.02;

} // namespace

int MeasureWorkerCpu(const Args &args)
{
    const double seconds = args.GetDouble("seconds", 5);
    AgentScope agent;
    TempDir dir;
    PluginLibrary library(args.Get("plugin", VX_PLUGIN_PATH));

    // Idle: three channels, nothing to send, after one post each so that
    // their connections are open and kept alive.
    {
        LoopbackCollector collector{ std::chrono::microseconds(0) };
        std::string channels;
        for (const char *name : { "a", "b", "c" }) {
            if (!channels.empty()) channels += ", ";
            channels += std::string("\"") + name + "\": { \"url\": \"" + collector.Url(std::string("/") + name) +
                "\", \"max_in_flight\": 4, \"retries\": 3 }";
        }
        PluginPtr plugin = library.Start("idle", dir.Write("idle.json",
            "{ \"delivery\": \"parallel\", \"channels\": { " + channels + " } }"));
        for (const char *name : { "a", "b", "c" }) plugin->QueuePayload(Payload(name));
        if (!collector.WaitAnswered(3, 10s)) throw std::runtime_error("the idle channels' posts were not answered");
        std::this_thread::sleep_for(200ms);
        const double cpu = CpuPerSecond(seconds);
        printf("%s\n", json{ { "measure", "parallel_idle_cpu" }, { "summary", true }, { "seconds", seconds },
            { "cpu_s_per_s", cpu }, { "target_cpu_s_per_s", cpu_target }, { "met", cpu <= cpu_target } }
                           .dump()
                           .c_str());
        plugin.reset();
        agent.TakeLog();
    }

    // Outage: four places, the first post answered 503 and due again a
    // second later, the other three and the next backlog payload holding
    // every place at a collector that never answers.
    {
        FirstFailsThenHangs collector;
        PluginPtr plugin = library.Start("outage", dir.Write("outage.json",
            "{ \"delivery\": \"parallel\", \"channels\": { \"down\": { \"url\": \"" + collector.Url("/down") +
                "\", \"max_in_flight\": 4, \"retries\": 5, \"retry_backoff_max_ms\": 60000,"
                " \"timeout_transfer\": 600 } } }"));
        for (int i = 0; i < 8; i++) plugin->QueuePayload(Payload("down"));
        const Clock::time_point start = Clock::now();
        while (collector.Requests() < 5) {
            if (SecondsSince(start) > 10) throw std::runtime_error("the outage's posts did not all start");
            std::this_thread::sleep_for(10ms);
        }
        // Past the Retry-After: the retry is due and waits for a place.
        std::this_thread::sleep_for(1500ms);
        const double cpu = CpuPerSecond(seconds);
        printf("%s\n", json{ { "measure", "parallel_outage_cpu" }, { "summary", true }, { "seconds", seconds },
            { "requests", collector.Requests() }, { "cpu_s_per_s", cpu }, { "target_cpu_s_per_s", cpu_target },
            { "met", cpu <= cpu_target } }
                           .dump()
                           .c_str());
        plugin.reset();
        agent.TakeLog();
    }
    return 0;
}

} // namespace vxbench
