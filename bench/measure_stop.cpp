#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <thread>

#include "measures.h"

namespace vxbench {

namespace {

// A loopback server that accepts and then stalls: either it never reads, so
// the client's upload blocks once the socket buffers are full, or it reads
// every byte and never answers, so the client waits for a response.
class StallServer
{
public:
    enum Mode { NEVER_READ, NEVER_ANSWER };

    explicit StallServer(Mode mode) : mode(mode)
    {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener < 0) throw std::runtime_error("socket failed");
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        socklen_t len = sizeof(addr);
        if (bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
            listen(listener, 8) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
            close(listener);
            throw std::runtime_error("cannot listen on the loopback interface");
        }
        port = ntohs(addr.sin_port);
        thread = std::thread([this] { Serve(); });
    }

    ~StallServer()
    {
        stop = true;
        thread.join();
        for (int fd : clients) close(fd);
        close(listener);
    }

    StallServer(const StallServer &) = delete;
    StallServer &operator=(const StallServer &) = delete;

    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port) + "/stall"; }

    // Bytes of the request that reached this side: read, or waiting unread.
    bool WaitForBytes(size_t count, std::chrono::milliseconds timeout) const
    {
        Clock::time_point deadline = Clock::now() + timeout;
        while (bytes.load() < count) {
            if (Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

private:
    void Serve()
    {
        std::vector<char> buffer(1 << 16);
        while (!stop.load()) {
            std::vector<pollfd> fds{ { listener, POLLIN, 0 } };
            if (mode == NEVER_ANSWER)
                for (int fd : clients) fds.push_back({ fd, POLLIN, 0 });
            if (poll(fds.data(), fds.size(), 20) < 0) break;

            if (fds[0].revents & POLLIN) {
                int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) clients.push_back(fd);
            }
            size_t seen = 0;
            for (size_t i = 0; i < clients.size(); ++i) {
                if (mode == NEVER_ANSWER) {
                    if (i + 1 < fds.size() && (fds[i + 1].revents & POLLIN)) {
                        ssize_t n = read(clients[i], buffer.data(), buffer.size());
                        if (n > 0) read_total += static_cast<size_t>(n);
                    }
                }
                else {
                    int pending = 0;
                    if (ioctl(clients[i], FIONREAD, &pending) == 0 && pending > 0)
                        seen += static_cast<size_t>(pending);
                }
            }
            bytes = (mode == NEVER_ANSWER) ? read_total : seen;
        }
    }

    Mode mode;
    int listener = -1;
    int port = 0;
    std::vector<int> clients;
    size_t read_total = 0;
    std::atomic<size_t> bytes{ 0 };
    std::atomic<bool> stop{ false };
    std::thread thread;
};

double StopMilliseconds(PluginPtr &plugin)
{
    Clock::time_point start = Clock::now();
    plugin.reset();
    return SecondsSince(start) * 1000.0;
}

// Spreads the moments of the stop requests evenly over a second, the longest
// the transfer library sleeps between progress checks, so the worst case
// shows.
std::chrono::milliseconds Phase(long rep, long reps)
{
    return std::chrono::milliseconds(20 + (rep - 1) * 1000 / reps);
}

} // namespace

int MeasureStop(const Args &args)
{
    const std::string url = args.Require("url");
    const std::string out = args.Require("out");
    const std::string plugin_path = args.Get("plugin", VX_PLUGIN_PATH);
    const long idle_reps = args.GetLong("idle-reps", 20);
    const long slow_reps = args.GetLong("slow-reps", 5);

    AgentScope agent;
    TempDir dir;
    PluginLibrary library(plugin_path);
    ReleaseCounter counter;

    // Idle: the worker has loaded its configuration, posted once (so its
    // handle and connection exist) and waits on the empty queue.
    {
        const std::string conf = dir.Write("idle.json", ChannelConfigText(url));
        PayloadPool pool(1024, 1);
        for (long rep = 1; rep <= idle_reps; ++rep) {
            PluginPtr plugin = library.Start("bench", conf);
            TimePluginPosts(*plugin, pool, 1, counter, std::chrono::seconds(30));
            std::this_thread::sleep_for(std::chrono::milliseconds(20 + rep % 7));
            const double ms = StopMilliseconds(plugin);
            RequireQuietLog(agent, "idle stop");
            AppendRecord(out, { "stop", "idle", std::to_string(rep), Fixed(ms, 3) });
        }
        printf("  idle: %ld stops\n", idle_reps);
    }

    // With a backlog: the stop request finds thousands of payloads queued.
    // The worker leaves only once the queue is empty, each remaining post
    // cut short by the progress check.
    {
        const std::string conf = dir.Write("backlog.json", ChannelConfigText(url));
        const size_t backlog = static_cast<size_t>(args.GetLong("backlog", 10000));
        PayloadPool pool(1024, 64);
        for (long rep = 1; rep <= 3; ++rep) {
            PluginPtr plugin = library.Start("bench", conf);
            TimePluginPosts(*plugin, pool, 1, counter, std::chrono::seconds(30));
            counter.Reset(backlog);
            for (size_t i = 0; i < backlog; ++i)
                plugin->QueuePayload(std::shared_ptr<vxPluginSinkPayload>(pool.Mutable(i), CountRelease{ &counter }));
            const double ms = StopMilliseconds(plugin);
            if (counter.Count() != backlog) throw std::runtime_error("queued payloads were not let go");
            const size_t aborted = agent.TakeLog().size();
            AppendRecord(out, { "stop", "backlog", std::to_string(rep), Fixed(ms, 3),
                                  std::to_string(backlog), std::to_string(aborted) });
        }
        printf("  with %zu payloads queued: 3 stops\n", backlog);
    }

    // During a transfer: an upload the server does not read, and a request
    // the server read but does not answer.
    struct Case {
        const char *name;
        StallServer::Mode mode;
        size_t body;
        size_t wait_bytes;
    };
    const Case cases[] = {
        { "upload", StallServer::NEVER_READ, 64u << 20, 16u << 10 },
        { "answer", StallServer::NEVER_ANSWER, 1u << 20, 1u << 20 },
    };
    for (const Case &c : cases) {
        PayloadPool pool(c.body, 1);
        for (long rep = 1; rep <= slow_reps; ++rep) {
            StallServer server(c.mode);
            const std::string conf = dir.Write("slow.json", ChannelConfigText(server.Url()));
            PluginPtr plugin = library.Start("bench", conf);
            counter.Reset(1);
            plugin->QueuePayload(std::shared_ptr<vxPluginSinkPayload>(pool.Mutable(0), CountRelease{ &counter }));
            if (!server.WaitForBytes(c.wait_bytes, std::chrono::seconds(30)))
                throw std::runtime_error("the slow server never saw the request");
            std::this_thread::sleep_for(Phase(rep, slow_reps));
            if (counter.Count() != 0) throw std::runtime_error("the stalled post ended by itself");
            const double ms = StopMilliseconds(plugin);
            if (counter.Count() != 1) throw std::runtime_error("the stalled payload was not let go");
            // The aborted transfer is logged; that line is expected here.
            agent.TakeLog();
            AppendRecord(out, { "stop", c.name, std::to_string(rep), Fixed(ms, 3) });
        }
        printf("  during a transfer (%s): %ld stops\n", c.name, slow_reps);
    }
    return 0;
}

} // namespace vxbench
