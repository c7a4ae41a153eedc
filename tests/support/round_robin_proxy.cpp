#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "round_robin_proxy.h"

namespace vxtest {

RoundRobinProxy::RoundRobinProxy(std::vector<int> backend_ports) : backends(std::move(backend_ports))
{
    listener.Listen(64);
    acceptor = std::thread([this] { AcceptLoop(); });
}

RoundRobinProxy::~RoundRobinProxy()
{
    stopping = true;
    if (acceptor.joinable()) acceptor.join();
    std::vector<std::thread> done;
    {
        std::lock_guard<std::mutex> guard(workers_lock);
        done.swap(workers);
    }
    for (auto &w : done) w.join();
}

void RoundRobinProxy::AcceptLoop()
{
    while (!stopping) {
        pollfd p{ listener.Fd(), POLLIN, 0 };
        if (poll(&p, 1, 20) <= 0) continue;
        const int client = accept(listener.Fd(), nullptr, nullptr);
        if (client < 0) continue;
        const size_t number = connections++;
        const int backend = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(backends[number % backends.size()]));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (backend < 0 || connect(backend, reinterpret_cast<sockaddr *>(&to), sizeof(to)) != 0) {
            if (backend >= 0) close(backend);
            close(client);
            continue;
        }
        std::lock_guard<std::mutex> guard(workers_lock);
        workers.emplace_back([this, client, backend] { Pump(client, backend); });
    }
}

void RoundRobinProxy::Pump(int client, int backend)
{
    char buffer[65536];
    pollfd p[2] = { { client, POLLIN, 0 }, { backend, POLLIN, 0 } };
    // Ends when either side closes (or fails), closing both, as a balancer
    // in TCP mode does; polled in short steps so that a stop is seen.
    while (!stopping) {
        const int ready = poll(p, 2, 20);
        if (ready < 0) break;
        if (ready == 0) continue;
        bool open = true;
        for (int i = 0; i < 2 && open; i++) {
            if (p[i].revents == 0) continue;
            const ssize_t n = recv(p[i].fd, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                open = false;
                break;
            }
            for (ssize_t sent = 0; sent < n && open;) {
                const ssize_t m = send(p[1 - i].fd, buffer + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL);
                if (m <= 0) open = false;
                else sent += m;
            }
        }
        if (!open) break;
    }
    close(client);
    close(backend);
}

} // namespace vxtest
