// A parallel channel tuned to its collectors, against real loopback
// collectors: the adaptive in-flight limit, fallback URLs and connection
// rotation, each with every payload counted where it arrived.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "loopback_server.h"
#include "plugin/metrics_text.h"
#include "round_robin_proxy.h"
#include "running_plugin.h"
#include "test_support.h"

using namespace std::chrono_literals;

namespace {

using vxtest::RawHttpServer;

// A collector that counts the posts it serves at once: each takes
// `service` unless it is down (503 at once) or it would be the one past
// `refuse_above` at once (503 at once too). Bodies answered 200 are
// counted, so that a payload lost or delivered twice shows.
class Collector
{
public:
    explicit Collector(std::chrono::milliseconds service) : service(service)
    {
        server.SetResponder([this](RawHttpServer::Connection &c, const RawHttpServer::Request &r) {
            const int now = ++active;
            int seen = highest.load();
            while (now > seen && !highest.compare_exchange_weak(seen, now)) { }
            const int limit = refuse_above.load();
            if (down.load() || (limit > 0 && now > limit)) {
                --active;
                refused++;
                c.Write(RawHttpServer::Ok("", 503, "Unavailable"));
                return;
            }
            std::this_thread::sleep_for(this->service);
            --active;
            {
                std::lock_guard<std::mutex> guard(lock);
                delivered[r.body]++;
            }
            c.Write(RawHttpServer::Ok());
        });
        server.Start();
    }

    std::map<std::string, int> Delivered() const
    {
        std::lock_guard<std::mutex> guard(lock);
        return delivered;
    }
    size_t DeliveredCount() const
    {
        std::lock_guard<std::mutex> guard(lock);
        size_t n = 0;
        for (const auto &[body, count] : delivered) n += static_cast<size_t>(count);
        return n;
    }

    const std::chrono::milliseconds service;
    std::atomic<int> active{ 0 };
    std::atomic<int> highest{ 0 };
    std::atomic<int> refuse_above{ 0 };
    std::atomic<bool> down{ false };
    std::atomic<uint64_t> refused{ 0 };
    RawHttpServer server;

private:
    mutable std::mutex lock;
    std::map<std::string, int> delivered;
};

class ParallelTuning : public vxtest::PluginFixture<>
{
protected:
    nlohmann::json Status(vxtest::RunningPlugin &plugin, const std::string &channel)
    {
        nlohmann::json status;
        plugin.Sink().GetStatus(status);
        return status["channels"][channel];
    }

    void QueueIds(vxtest::RunningPlugin &plugin, int from, int to)
    {
        for (int i = from; i < to; i++) plugin.Queue("id-" + std::to_string(i), { "a" });
    }

    // Every id in [0, count) delivered exactly once over all `collectors`.
    void ExpectEachOnce(const std::vector<const Collector *> &collectors, int count)
    {
        std::map<std::string, int> all;
        for (const Collector *c : collectors)
            for (const auto &[body, n] : c->Delivered()) all[body] += n;
        EXPECT_EQ(all.size(), static_cast<size_t>(count));
        for (int i = 0; i < count; i++) EXPECT_EQ(all["id-" + std::to_string(i)], 1) << i;
    }
};

uint32_t CurrentLimit(const nlohmann::json &figures)
{
    // Nothing before the configuration has loaded.
    if (!figures.is_object() || !figures.contains("max_in_flight") || !figures["max_in_flight"].is_object())
        return 0;
    return figures["max_in_flight"].value("current", 0u);
}

// Nothing holds the channel back: the limit grows well past one. Then the
// collector refuses past three at once: the limit comes down to about
// that, and with retries nothing is lost or doubled.
TEST_F(ParallelTuning, AdaptiveLimitGrowsThenShrinksUnderRefusals)
{
    Collector collector(5ms);
    vxtest::RunningPlugin plugin(R"({ "delivery": "parallel", "channels": { "a": {
        "url": ")" + collector.server.Url("/a") + R"(", "max_in_flight": "auto", "max_in_flight_limit": 16,
        "retries": 10, "retry_backoff_ms": 20, "retry_backoff_max_ms": 100 } } })", "p");
    plugin.Start();

    // A steady backlog: enough payloads that the limit is always in use.
    int queued = 0;
    auto feed = [&](int more) {
        QueueIds(plugin, queued, queued + more);
        queued += more;
    };
    feed(400);
    ASSERT_TRUE(vxtest::WaitUntil([&] { return CurrentLimit(Status(plugin, "a")) >= 8; }, 20s))
        << Status(plugin, "a").dump();
    // Posts did overlap at the collector (fewer than the limit at any one
    // moment on a loaded machine: some are still on their way).
    EXPECT_GE(collector.highest.load(), 4);
    EXPECT_GE(log.Count("p: a: " + collector.server.Url("/a") + ": max_in_flight now "), 7u);
    const nlohmann::json grown = Status(plugin, "a")["max_in_flight"];
    EXPECT_EQ(grown["auto"], true);
    // Each post takes 5 ms or a little more.
    EXPECT_GE(grown["baseline_ms"].get<double>(), 4.0);
    EXPECT_LT(grown["baseline_ms"].get<double>(), 100.0);
    plugin.Sink().DisplayStatus(nlohmann::json());
    EXPECT_EQ(log.Count("p:   a: max_in_flight auto: "), 1u) << log.Text();
    {
        nlohmann::json status;
        plugin.Sink().GetStatus(status);
        const std::string metrics = htsMetricsText(status);
        EXPECT_NE(metrics.find("\nvornix_sink_http_in_flight_limit{channel=\"a\",tag=\"p\"} "), std::string::npos)
            << metrics;
        EXPECT_NE(metrics.find("\nvornix_sink_http_latency_baseline_seconds{channel=\"a\",tag=\"p\"} 0.0"),
            std::string::npos);
    }

    collector.refuse_above = 3;
    const uint64_t refused_before = collector.refused.load();
    feed(400);
    ASSERT_TRUE(vxtest::WaitUntil([&] { return CurrentLimit(Status(plugin, "a")) <= 4; }, 20s))
        << Status(plugin, "a").dump();
    EXPECT_GT(collector.refused.load(), refused_before);
    ASSERT_TRUE(vxtest::WaitUntil([&] { return collector.DeliveredCount() >= static_cast<size_t>(queued); }, 60s));
    EXPECT_LE(CurrentLimit(Status(plugin, "a")), 5u);
    ExpectEachOnce({ &collector }, queued);
    EXPECT_EQ(log.Count("giving up"), 0u);
}

// A retry's wait is no part of the latency the limit goes by: every first
// try is refused at once and the retry comes 300 ms later, yet the
// baseline stays near the 5 ms a post takes.
TEST_F(ParallelTuning, RetryWaitIsNotLatency)
{
    RawHttpServer collector;
    std::mutex lock;
    std::map<std::string, int> tries;
    collector.SetResponder([&](RawHttpServer::Connection &c, const RawHttpServer::Request &r) {
        int n;
        {
            std::lock_guard<std::mutex> guard(lock);
            n = ++tries[r.body];
        }
        std::this_thread::sleep_for(5ms);
        c.Write(n == 1 ? RawHttpServer::Ok("", 503, "Unavailable") : RawHttpServer::Ok());
    });
    collector.Start();
    vxtest::RunningPlugin plugin(R"({ "delivery": "parallel", "channels": { "a": {
        "url": ")" + collector.Url("/a") + R"(", "max_in_flight": "auto",
        "retries": 2, "retry_backoff_ms": 300, "retry_backoff_max_ms": 300 } } })", "p");
    plugin.Start();
    // One at a time, so that every post runs alone.
    for (int i = 0; i < 3; i++) {
        auto sent = plugin.Queue("id-" + std::to_string(i), { "a" });
        ASSERT_TRUE(collector.WaitForRequests(static_cast<size_t>(2 * (i + 1)), 10s));
        ASSERT_TRUE(vxtest::WaitUntil([&] { return sent.expired(); }, 10s));
    }
    const nlohmann::json limit = Status(plugin, "a")["max_in_flight"];
    ASSERT_TRUE(limit["baseline_ms"].is_number()) << limit.dump();
    EXPECT_LT(limit["baseline_ms"].get<double>(), 150.0);
}

// The first URL goes down: its posts go to the fallback, each payload once,
// with one line. Once it answers again (probed after the back-off) the
// posts return to it.
TEST_F(ParallelTuning, FallbackUrlTakesThePostsWhileTheFirstIsDown)
{
    Collector first(0ms), second(0ms);
    const std::string first_url = first.server.Url("/a");
    const std::string second_url = second.server.Url("/b");
    vxtest::RunningPlugin plugin(R"({ "delivery": "parallel", "channels": { "a": {
        "url": ")" + first_url + R"(", "fallback_urls": [")" + second_url + R"("],
        "retries": 5, "retry_backoff_ms": 100, "retry_backoff_max_ms": 200 } } })", "p");
    plugin.Start();

    QueueIds(plugin, 0, 10);
    ASSERT_TRUE(vxtest::WaitUntil([&] { return first.DeliveredCount() == 10; }, 10s));
    EXPECT_EQ(Status(plugin, "a")["url_in_use"], first_url);

    first.down = true;
    QueueIds(plugin, 10, 30);
    ASSERT_TRUE(vxtest::WaitUntil([&] { return first.DeliveredCount() + second.DeliveredCount() == 30; }, 20s));
    EXPECT_EQ(first.DeliveredCount(), 10u);
    EXPECT_EQ(log.Count("p: a: " + first_url + ": down, posting to " + second_url + "\n"), 1u) << log.Text();
    nlohmann::json figures = Status(plugin, "a");
    EXPECT_EQ(figures["url_in_use"], second_url);
    EXPECT_EQ(figures["urls"], nlohmann::json::parse(R"([{"url":")" + first_url + R"(","state":"down"},
        {"url":")" + second_url + R"(","state":"up"}])"));
    plugin.Sink().DisplayStatus(nlohmann::json());
    EXPECT_EQ(log.Count("p:   a: posting to " + second_url + "; " + first_url + " down; " + second_url + " up\n"), 1u)
        << log.Text();

    // Back: a post now and then until the probe finds it answering.
    first.down = false;
    int queued = 30;
    auto last = std::chrono::steady_clock::time_point{};
    ASSERT_TRUE(vxtest::WaitUntil(
        [&] {
            if (first.DeliveredCount() > 10) return true;
            if (std::chrono::steady_clock::now() - last >= 50ms) {
                QueueIds(plugin, queued, queued + 1);
                queued++;
                last = std::chrono::steady_clock::now();
            }
            return false;
        },
        20s));
    ASSERT_TRUE(log.WaitFor("p: a: " + first_url + ": answering again\n"));
    const size_t at_second = second.DeliveredCount();
    QueueIds(plugin, queued, queued + 10);
    queued += 10;
    ASSERT_TRUE(vxtest::WaitUntil(
        [&] { return first.DeliveredCount() + second.DeliveredCount() == static_cast<size_t>(queued); }, 20s));
    EXPECT_LE(second.DeliveredCount(), at_second + 1);
    EXPECT_EQ(Status(plugin, "a")["url_in_use"], first_url);
    ExpectEachOnce({ &first, &second }, queued);
}

struct RotationCase {
    const char *name;
    const char *keys;
    int posts;
    std::chrono::milliseconds gap;
};

void PrintTo(const RotationCase &c, std::ostream *os) { *os << c.name; }

class ConnectionRotation : public vxtest::PluginFixture<testing::TestWithParam<RotationCase>> { };

// Behind a balancer that hands each new connection to the next collector,
// a channel that keeps its connection forever reaches one collector only;
// one whose connections wear out reaches both, and not one post fails for
// the change of connection.
TEST_P(ConnectionRotation, ReachesEveryCollectorBehindABalancer)
{
    const RotationCase &c = GetParam();
    Collector one(0ms), two(0ms);
    vxtest::RoundRobinProxy proxy({ one.server.Port(), two.server.Port() });
    vxtest::RunningPlugin plugin(R"({ "delivery": "parallel", "channels": { "a": {
        "url": "http://127.0.0.1:)" + std::to_string(proxy.Port()) + R"(/a", )" + c.keys + R"( } } })", "p");
    plugin.Start();
    for (int i = 0; i < c.posts; i++) {
        auto sent = plugin.Queue("id-" + std::to_string(i), { "a" });
        ASSERT_TRUE(vxtest::WaitUntil([&] { return sent.expired(); }, 10s));
        std::this_thread::sleep_for(c.gap);
    }
    EXPECT_EQ(one.DeliveredCount() + two.DeliveredCount(), static_cast<size_t>(c.posts));
    EXPECT_GT(one.DeliveredCount(), 0u);
    EXPECT_GT(two.DeliveredCount(), 0u);
    EXPECT_GE(proxy.Connections(), 2u);
    // Not one failure line: the worn-out connection was never posted on.
    EXPECT_EQ(log.Count("p: a: "), 0u) << log.Text();
    nlohmann::json figures;
    plugin.Sink().GetStatus(figures);
    EXPECT_EQ(figures["channels"]["a"]["succeeded"], c.posts);
}

INSTANTIATE_TEST_SUITE_P(Limits, ConnectionRotation,
    testing::Values(RotationCase{ "requests", R"("connection_max_requests": 3)", 12, 0ms },
        RotationCase{ "requests_in_parallel", R"("connection_max_requests": 1, "max_in_flight": 4)", 12, 0ms },
        // Whole seconds: a connection goes within two seconds.
        RotationCase{ "age", R"("connection_max_age_ms": 500)", 10, 300ms }),
    [](const testing::TestParamInfo<RotationCase> &info) { return std::string(info.param.name); });

// Counted by the collector itself: a new connection every third post.
TEST_F(ParallelTuning, RequestLimitOpensANewConnectionEveryNthPost)
{
    Collector collector(0ms);
    vxtest::RunningPlugin plugin(R"({ "delivery": "parallel", "channels": { "a": {
        "url": ")" + collector.server.Url("/a") + R"(", "connection_max_requests": 3 } } })", "p");
    plugin.Start();
    for (int i = 0; i < 12; i++) {
        auto sent = plugin.Queue("id-" + std::to_string(i), { "a" });
        ASSERT_TRUE(vxtest::WaitUntil([&] { return sent.expired(); }, 10s));
    }
    EXPECT_EQ(collector.DeliveredCount(), 12u);
    EXPECT_EQ(collector.server.Connections(), 4u);
    EXPECT_EQ(log.Count("p: a: "), 0u) << log.Text();
}

} // namespace
