#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <stdexcept>

#include "loopback_collector.h"

namespace vxbench {

namespace {

using Clock = std::chrono::steady_clock;

struct Connection {
    int fd = -1;
    // Bumped when the descriptor closes, so an answer due on a connection
    // that is gone (and whose number was reused) is not sent.
    uint64_t generation = 0;
    std::string in;
};

struct DueAnswer {
    Clock::time_point due;
    int fd;
    uint64_t generation;
    bool fail;
    // The body's "seq=N", or none.
    bool has_id;
    uint64_t id;
};

// The body length a request head announces (0 without one).
size_t ContentLength(const std::string &in, size_t head_end)
{
    for (size_t at = in.find("\r\n"); at != std::string::npos && at < head_end; at = in.find("\r\n", at + 2)) {
        static const char name[] = "content-length:";
        if (at + 2 + sizeof(name) - 1 > head_end) break;
        if (strncasecmp(in.c_str() + at + 2, name, sizeof(name) - 1) == 0)
            return std::strtoul(in.c_str() + at + 2 + sizeof(name) - 1, nullptr, 10);
    }
    return 0;
}

const char answer[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
const char unavailable[] = "HTTP/1.1 503 Unavailable\r\nContent-Length: 0\r\n\r\n";

} // namespace

LoopbackCollector::LoopbackCollector(std::chrono::microseconds delay, bool never_answer)
    : delay(delay), never_answer(never_answer)
{
    listen_fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listen_fd < 0) throw std::runtime_error("collector: socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(listen_fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 || listen(listen_fd, 256) != 0 ||
        getsockname(listen_fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        close(listen_fd);
        throw std::runtime_error("collector: cannot listen on the loopback interface");
    }
    port = ntohs(addr.sin_port);
    epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listen_fd;
    epoll_ctl(epoll_fd, EPOLL_CTL_ADD, listen_fd, &ev);
    ev.data.fd = stop_fd;
    epoll_ctl(epoll_fd, EPOLL_CTL_ADD, stop_fd, &ev);
    thread = std::thread([this] { Run(); });
}

LoopbackCollector::~LoopbackCollector()
{
    Kill();
    close(stop_fd);
    close(epoll_fd);
}

void LoopbackCollector::Kill()
{
    if (!thread.joinable()) return;
    uint64_t one = 1;
    if (write(stop_fd, &one, sizeof(one)) != sizeof(one)) perror("collector stop");
    thread.join();
    close(listen_fd);
    listen_fd = -1;
}

std::string LoopbackCollector::Url(const std::string &path) const
{
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

bool LoopbackCollector::WaitAnswered(uint64_t count, std::chrono::milliseconds timeout) const
{
    const Clock::time_point deadline = Clock::now() + timeout;
    while (answered.load() < count) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

void LoopbackCollector::Run()
{
    std::map<int, Connection> conns;
    std::deque<DueAnswer> due; // in due order: the delay is the same for all
    uint64_t generations = 0;
    char chunk[65536];
    epoll_event events[64];

    auto drop = [&](int fd) {
        epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
        close(fd);
        conns.erase(fd);
    };
    std::minstd_rand random(12345);
    auto send_answer = [&](int fd, bool fail, bool has_id = false, uint64_t id = 0) {
        // A few dozen bytes to a client that reads its answers: the socket
        // buffer always has room.
        const char *text = fail ? unavailable : answer;
        const size_t length = fail ? sizeof(unavailable) - 1 : sizeof(answer) - 1;
        if (send(fd, text, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length)) {
            if (fail)
                failed.fetch_add(1);
            else {
                if (has_id) {
                    std::lock_guard<std::mutex> guard(accepted_lock);
                    if (id < dense_ids_max) {
                        if (id >= accepted.size()) accepted.resize(std::max<uint64_t>(id + 1, accepted.size() * 2));
                        accepted[id]++;
                    }
                    else
                        accepted_far[id]++;
                }
                answered.fetch_add(1);
            }
        }
    };
    // Requests beyond the servers, in arrival order.
    std::deque<DueAnswer> waiting;

    for (;;) {
        int timeout = -1;
        if (!due.empty()) {
            auto left = std::chrono::duration_cast<std::chrono::microseconds>(due.front().due - Clock::now());
            timeout = left.count() <= 0 ? 0 : static_cast<int>((left.count() + 999) / 1000);
        }
        int n = epoll_wait(epoll_fd, events, 64, timeout);
        for (int i = 0; i < n; i++) {
            const int fd = events[i].data.fd;
            if (fd == stop_fd) {
                for (auto &[cfd, c] : conns) close(cfd);
                return;
            }
            if (fd == listen_fd) {
                for (;;) {
                    int cfd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (cfd < 0) break;
                    int one = 1;
                    setsockopt(cfd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
                    epoll_event ev{};
                    ev.events = EPOLLIN;
                    ev.data.fd = cfd;
                    epoll_ctl(epoll_fd, EPOLL_CTL_ADD, cfd, &ev);
                    conns[cfd] = Connection{ cfd, ++generations, {} };
                    connections.fetch_add(1);
                }
                continue;
            }
            auto it = conns.find(fd);
            if (it == conns.end()) continue;
            Connection &c = it->second;
            bool closed = false;
            for (;;) {
                ssize_t got = recv(fd, chunk, sizeof(chunk), 0);
                if (got > 0) {
                    // A hung collector still reads, so senders never block
                    // on a full socket: only the answer is missing.
                    if (!never_answer) c.in.append(chunk, static_cast<size_t>(got));
                    continue;
                }
                if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) closed = true;
                break;
            }
            // Every complete request in the buffer, in order.
            for (;;) {
                size_t head_end = c.in.find("\r\n\r\n");
                if (head_end == std::string::npos) break;
                size_t total = head_end + 4 + ContentLength(c.in, head_end);
                if (c.in.size() < total) break;
                const uint32_t share = fail_per_million.load();
                const size_t refuse = refuse_above.load();
                const bool fail = down.load() || (share > 0 && random() % 1000000 < share) ||
                    (refuse > 0 && due.size() + waiting.size() >= refuse);
                const bool has_id = !fail && c.in.compare(head_end + 4, 4, "seq=") == 0;
                const uint64_t id = has_id ? std::strtoull(c.in.c_str() + head_end + 8, nullptr, 10) : 0;
                c.in.erase(0, total);
                received.fetch_add(1);
                const size_t most = servers.load();
                if (delay.count() == 0 || (fail && refuse > 0))
                    send_answer(fd, fail, has_id, id);
                else if (most > 0 && due.size() >= most)
                    waiting.push_back({ Clock::time_point{}, fd, c.generation, fail, has_id, id });
                else
                    due.push_back({ Clock::now() + delay, fd, c.generation, fail, has_id, id });
            }
            if (closed) drop(fd);
        }
        const Clock::time_point now = Clock::now();
        while (!due.empty() && due.front().due <= now) {
            const DueAnswer &a = due.front();
            auto it = conns.find(a.fd);
            if (it != conns.end() && it->second.generation == a.generation) send_answer(it->first, a.fail, a.has_id, a.id);
            due.pop_front();
        }
        // A server that came free takes the next waiting request.
        while (!waiting.empty() && due.size() < servers.load()) {
            DueAnswer next = waiting.front();
            waiting.pop_front();
            next.due = now + delay;
            due.push_back(next);
        }
    }
}

} // namespace vxbench
