#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "measures.h"
#include "records.h"

namespace vxbench {

namespace {

// A listening socket on a free loopback port.
int ListenOnLoopback(int &port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof(addr);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        close(fd);
        throw std::runtime_error("cannot listen on the loopback interface");
    }
    port = ntohs(addr.sin_port);
    return fd;
}

// A loopback server that accepts and then stalls: either it never reads, so
// the client's upload blocks once the socket buffers are full, or it reads
// every byte and never answers, so the client waits for a response.
class StallServer
{
public:
    enum Mode { NEVER_READ, NEVER_ANSWER };

    explicit StallServer(Mode mode) : mode(mode)
    {
        listener = ListenOnLoopback(port);
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

// A loopback server that answers 200 to every complete POST on kept-alive
// connections and counts the answers: how many posts really went out, told
// apart from payloads the plug-in let go of without posting.
class CountingServer
{
public:
    CountingServer()
    {
        listener = ListenOnLoopback(port);
        thread = std::thread([this] { Serve(); });
    }

    ~CountingServer()
    {
        stop = true;
        thread.join();
        for (const Client &client : clients) close(client.fd);
        close(listener);
    }

    CountingServer(const CountingServer &) = delete;
    CountingServer &operator=(const CountingServer &) = delete;

    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port) + "/ingest"; }

    // Answers so far. Read once the client has closed its connections (see
    // WaitUntilClosed), it also covers a request that arrived just before.
    uint64_t Answered() const { return answered.load(); }

    // Waits until every connection has been closed by the client.
    bool WaitUntilClosed(std::chrono::milliseconds timeout) const
    {
        Clock::time_point deadline = Clock::now() + timeout;
        while (open.load() != 0) {
            if (Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

private:
    struct Client {
        int fd;
        std::string input;
    };

    void Serve()
    {
        std::vector<char> buffer(1 << 16);
        while (!stop.load()) {
            std::vector<pollfd> fds{ { listener, POLLIN, 0 } };
            for (const Client &client : clients) fds.push_back({ client.fd, POLLIN, 0 });
            if (poll(fds.data(), fds.size(), 20) < 0) break;

            // Clients first: the listener's new connection is not in `fds`.
            for (size_t i = clients.size(); i-- > 0;) {
                if (!(fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                ssize_t n = read(clients[i].fd, buffer.data(), buffer.size());
                if (n > 0) {
                    clients[i].input.append(buffer.data(), static_cast<size_t>(n));
                    if (Answer(clients[i])) continue;
                }
                close(clients[i].fd);
                clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(i));
            }
            if (fds[0].revents & POLLIN) {
                int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) clients.push_back({ fd, {} });
            }
            open = clients.size();
        }
    }

    // Answers every complete request in the client's input; false when the
    // connection should be dropped.
    bool Answer(Client &client)
    {
        for (;;) {
            const size_t end = client.input.find("\r\n\r\n");
            if (end == std::string::npos) return true;
            const std::string head = Lower(client.input.substr(0, end + 2));
            size_t length = 0;
            const size_t field = head.find("\r\ncontent-length:");
            if (field != std::string::npos) length = strtoul(head.c_str() + field + 17, nullptr, 10);
            if (head.find("\r\nexpect: 100-continue\r\n") != std::string::npos &&
                client.input.size() == end + 4 && length > 0) {
                if (!Send(client.fd, "HTTP/1.1 100 Continue\r\n\r\n")) return false;
            }
            if (client.input.size() < end + 4 + length) return true;
            client.input.erase(0, end + 4 + length);
            if (!Send(client.fd, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")) return false;
            ++answered;
        }
    }

    static std::string Lower(std::string text)
    {
        for (char &c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        return text;
    }

    static bool Send(int fd, const std::string &text)
    {
        return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
    }

    int listener = -1;
    int port = 0;
    std::vector<Client> clients;
    std::atomic<size_t> open{ 0 };
    std::atomic<uint64_t> answered{ 0 };
    std::atomic<bool> stop{ false };
    std::thread thread;
};

// The one line in which the plug-in reports the payloads a stop left queued
// and released unposted: their number, or nothing when the line is absent
// (nothing was left). Other lines go to `others`.
uint64_t NotSentCount(const std::vector<std::string> &lines, const std::string &tag,
    std::vector<std::string> &others)
{
    // Matched by hand: std::regex trips g++'s warnings in sanitizer builds.
    const std::string head = tag + ": stopped, ";
    const std::string tail = " queued payloads not sent\n";
    uint64_t count = 0;
    size_t seen = 0;
    for (const std::string &line : lines) {
        const bool framed = line.size() > head.size() + tail.size() && line.compare(0, head.size(), head) == 0 &&
            line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
        const std::string digits = framed ? line.substr(head.size(), line.size() - head.size() - tail.size()) : "";
        if (framed && digits.find_first_not_of("0123456789") == std::string::npos) {
            count += std::stoull(digits);
            ++seen;
        }
        else {
            others.push_back(line);
        }
    }
    if (seen > 1) {
        throw std::runtime_error("the plug-in reported the payloads left at a stop in " + std::to_string(seen) +
            " lines, not one");
    }
    return count;
}

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
            AppendRecord(out, "stop", { { "case", "idle" }, { "rep", rep }, { "ms", Rounded(ms, 3) } });
        }
        printf("  idle: %ld stops\n", idle_reps);
    }

    // With a backlog: the stop request finds thousands of payloads queued.
    // Once asked to stop the worker posts nothing new: the post in progress
    // is cut short, and the payloads still queued are released unposted and
    // reported in one line. Our own server counts what was really posted, so
    // that a payload let go of without a post or a word shows up too.
    {
        CountingServer server;
        const std::string conf = dir.Write("backlog.json", ChannelConfigText(server.Url()));
        const uint64_t backlog = static_cast<uint64_t>(args.GetLong("backlog", 10000));
        PayloadPool pool(1024, 64);
        for (long rep = 1; rep <= 3; ++rep) {
            PluginPtr plugin = library.Start("bench", conf);
            TimePluginPosts(*plugin, pool, 1, counter, std::chrono::seconds(30));
            RequireQuietLog(agent, "backlog warm-up");
            const uint64_t answered_before = server.Answered();
            counter.Reset(backlog);
            for (uint64_t i = 0; i < backlog; ++i)
                plugin->QueuePayload(std::shared_ptr<vxPluginSinkPayload>(pool.Mutable(i), CountRelease{ &counter }));
            // Taken just before the request, so a post that completes in
            // between counts as after it: the post in progress may finish
            // instead of being cut short, anything beyond it is a new post.
            const uint64_t answered_at_stop = server.Answered();
            const double ms = StopMilliseconds(plugin);
            if (counter.Count() != backlog) throw std::runtime_error("queued payloads were not let go");
            if (!server.WaitUntilClosed(std::chrono::seconds(10)))
                throw std::runtime_error("the stopped plug-in left its connection open");
            const uint64_t before = answered_at_stop - answered_before, after = server.Answered() - answered_at_stop;
            std::vector<std::string> failed;
            const uint64_t not_sent = NotSentCount(agent.TakeLog(), "bench", failed);
            AppendRecord(out, "stop",
                { { "case", "backlog" }, { "rep", rep }, { "ms", Rounded(ms, 3) }, { "queued", backlog },
                    { "posted_before_stop", before }, { "posted_after_stop", after },
                    { "failed_posts", failed.size() }, { "not_sent", not_sent } });
            printf("  with %llu payloads queued: stop %.2f ms; posted %llu before the stop, %llu after;"
                   " %zu failed; %llu released unposted\n",
                static_cast<unsigned long long>(backlog), ms, static_cast<unsigned long long>(before),
                static_cast<unsigned long long>(after), failed.size(), static_cast<unsigned long long>(not_sent));
        }
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
            AppendRecord(out, "stop", { { "case", c.name }, { "rep", rep }, { "ms", Rounded(ms, 3) } });
        }
        printf("  during a transfer (%s): %ld stops\n", c.name, slow_reps);
    }
    return 0;
}

} // namespace vxbench
