#ifndef VX_ROUND_ROBIN_PROXY_H
#define VX_ROUND_ROBIN_PROXY_H

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "test_support.h"

namespace vxtest {

// A TCP balancer on 127.0.0.1, as one in front of a pool of collectors: each
// connection it accepts goes to the next backend port in turn, bytes copied
// both ways until either side closes. It never looks at what it carries, so
// the only way a client reaches another backend is a new connection.
class RoundRobinProxy
{
public:
    explicit RoundRobinProxy(std::vector<int> backend_ports);
    ~RoundRobinProxy();
    RoundRobinProxy(const RoundRobinProxy &) = delete;
    RoundRobinProxy &operator=(const RoundRobinProxy &) = delete;

    int Port() const { return listener.Port(); }
    size_t Connections() const { return connections.load(); }

private:
    void AcceptLoop();
    void Pump(int client, int backend);

    std::vector<int> backends;
    LoopbackSocket listener;
    std::atomic<bool> stopping{ false };
    std::atomic<size_t> connections{ 0 };
    std::thread acceptor;
    std::mutex workers_lock;
    std::vector<std::thread> workers;
};

} // namespace vxtest

#endif
