// What ends the parallel worker's sleep: a payload queued while it waits on
// a long-running transfer, the sockets of kept-alive connections that a
// later post picks up again, and a new connection under a closed one's
// descriptor number.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "loopback_server.h"
#include "running_plugin.h"
#include "test_support.h"

using namespace std::chrono_literals;

namespace {

using vxtest::RawHttpServer;
using Clock = std::chrono::steady_clock;

std::string Channel(const std::string &name, const std::string &url, const std::string &extra = "")
{
    return "\"" + name + "\": { \"url\": \"" + url + "\", \"timeout_transfer\": 60" +
        (extra.empty() ? "" : ", " + extra) + " }";
}

std::string Config(const std::string &channels)
{
    return "{ \"delivery\": \"parallel\", \"channels\": { " + channels + " } }";
}

class ParallelWakeup : public vxtest::PluginFixture<> { };

// One transfer hangs for the whole test, so the worker sleeps on it between
// payloads. Each payload queued for another channel must end that sleep at
// once; left to the sleep's own end it would arrive about a second late,
// every time, since each one is queued just after the worker went back to
// sleep.
TEST_F(ParallelWakeup, PayloadQueuedDuringALongTransferStartsAtOnce)
{
    RawHttpServer hung;
    hung.SetResponder([](RawHttpServer::Connection &c, const RawHttpServer::Request &) {
        const auto deadline = Clock::now() + 30s;
        while (!c.Stopping() && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
    });
    hung.Start();
    vxtest::HttpServer quick;
    quick.Start();
    vxtest::RunningPlugin plugin(Config(Channel("hung", hung.Url("/h")) + ", " + Channel("quick", quick.Url("/q"))),
        "p");
    plugin.Start();
    plugin.Queue("long", { "hung" });
    ASSERT_TRUE(hung.WaitForRequests(1));

    std::vector<Clock::duration> latencies;
    for (int i = 0; i < 7; i++) {
        std::this_thread::sleep_for(50ms); // the worker settles into its wait
        const auto queued = Clock::now();
        plugin.Queue(std::to_string(i), { "quick" });
        ASSERT_TRUE(quick.WaitForRequests(static_cast<size_t>(i) + 1, 10s));
        latencies.push_back(Clock::now() - queued);
    }
    std::sort(latencies.begin(), latencies.end());
    // The median: one slow round on a loaded machine does not decide it.
    EXPECT_LT(latencies[latencies.size() / 2], 400ms);
    EXPECT_EQ(hung.RequestCount(), 1u);
}

struct ReuseCase {
    const char *name;
    // What the collector does once it has answered a request.
    enum { KEEP_OPEN, CLOSE_AFTER_IDLE, CLOSE_WITH_ANSWER } after;
};

void PrintTo(const ReuseCase &c, std::ostream *os) { *os << c.name; }

class ReusedSocket : public vxtest::PluginFixture<testing::TestWithParam<ReuseCase>> { };

// Posts one after another, each after the last has finished and the worker
// has slept: a kept-alive connection is picked up again, or the collector
// closed it (so the next socket may get the same number). Each post must
// complete at once, not at its time limit.
TEST_P(ReusedSocket, EveryNextPostCompletes)
{
    const ReuseCase &c = GetParam();
    std::atomic<int> closed{ 0 };
    RawHttpServer server;
    server.SetResponder([&](RawHttpServer::Connection &conn, const RawHttpServer::Request &) {
        switch (c.after) {
        case ReuseCase::KEEP_OPEN:
            conn.Write(RawHttpServer::Ok());
            return;
        case ReuseCase::CLOSE_AFTER_IDLE:
            conn.Write(RawHttpServer::Ok());
            std::this_thread::sleep_for(30ms);
            conn.Close();
            closed++;
            return;
        case ReuseCase::CLOSE_WITH_ANSWER:
            conn.Write("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            conn.Close();
            closed++;
            return;
        }
    });
    server.Start();
    // A short time limit: a post left unwatched fails with libcurl's
    // time-out instead of hanging the test.
    vxtest::RunningPlugin plugin(Config(Channel("a", server.Url("/a"), "\"timeout_transfer\": 5")), "p");
    plugin.Start();

    const int posts = 6;
    for (int i = 0; i < posts; i++) {
        const auto queued = Clock::now();
        auto sent = plugin.Queue(std::to_string(i), { "a" });
        ASSERT_TRUE(vxtest::WaitUntil([&] { return sent.expired(); }, 10s)) << log.Text();
        EXPECT_LT(Clock::now() - queued, 2500ms) << "post " << i;
        if (c.after != ReuseCase::KEEP_OPEN) {
            ASSERT_TRUE(vxtest::WaitUntil([&] { return closed.load() == i + 1; }));
        }
        std::this_thread::sleep_for(60ms); // the worker back in its wait
    }
    EXPECT_EQ(server.RequestCount(), static_cast<size_t>(posts));
    EXPECT_EQ(server.Connections(), c.after == ReuseCase::KEEP_OPEN ? 1u : static_cast<size_t>(posts));
    EXPECT_EQ(log.Count("p: a:"), 0u) << log.Text();
}

INSTANTIATE_TEST_SUITE_P(Collectors, ReusedSocket,
    testing::Values(ReuseCase{ "kept_alive", ReuseCase::KEEP_OPEN },
        ReuseCase{ "closed_while_idle", ReuseCase::CLOSE_AFTER_IDLE },
        ReuseCase{ "closed_with_answer", ReuseCase::CLOSE_WITH_ANSWER }),
    [](const auto &info) { return std::string(info.param.name); });

// A connection attempt that timed out while libcurl waited to write, then a
// new one under the same descriptor number, waiting for the same: the new
// socket must be watched, not taken for the closed one still in the set.
TEST_F(ParallelWakeup, ConnectAfterATimedOutOneIsWatched)
{
    // A listener whose accept queue is full drops the first attempt's SYNs.
    vxtest::LoopbackSocket socket;
    socket.Listen(0);
    const int filler = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(filler, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(socket.Port()));
    ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);

    vxtest::RunningPlugin plugin(
        Config(Channel("a", "http://127.0.0.1:" + std::to_string(socket.Port()) + "/a", "\"timeout_connect\": 2")), "p");
    plugin.Start();
    auto first = plugin.Queue("first", { "a" });
    ASSERT_TRUE(vxtest::WaitUntil([&] { return log.Count("[28]") == 1; }, 20s)) << log.Text();

    // Room in the queue, and the accepted socket's number given back at
    // once, so that the next attempt gets the closed one's.
    const int accepted = accept(socket.Fd(), nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    close(accepted);

    // The collector answers on this thread, so that no socket of its own
    // takes the number first.
    auto second = plugin.Queue("second", { "a" });
    pollfd ready{ .fd = socket.Fd(), .events = POLLIN, .revents = 0 };
    ASSERT_EQ(poll(&ready, 1, 10000), 1) << log.Text();
    const auto connected = Clock::now();
    const int c = accept(socket.Fd(), nullptr, nullptr);
    ASSERT_GE(c, 0);
    const timeval limit{ .tv_sec = 10, .tv_usec = 0 };
    setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    std::string request;
    char buffer[4096];
    while (request.find("second") == std::string::npos) {
        const ssize_t n = read(c, buffer, sizeof(buffer));
        if (n <= 0) break;
        request.append(buffer, static_cast<size_t>(n));
    }
    const auto posted = Clock::now();
    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
    EXPECT_EQ(write(c, ok.data(), ok.size()), static_cast<ssize_t>(ok.size()));
    const bool sent = vxtest::WaitUntil([&] { return second.expired(); }, 10s);
    close(c);
    close(filler);
    ASSERT_TRUE(sent) << log.Text();
    EXPECT_NE(request.find("second"), std::string::npos);
    // The request follows the connection at once. Unwatched, the socket
    // would wait for libcurl's next look at a connection in progress, some
    // 200 ms later.
    EXPECT_LT(posted - connected, 120ms) << log.Text();
    EXPECT_EQ(log.Count("[28]"), 1u) << log.Text();
}

} // namespace
