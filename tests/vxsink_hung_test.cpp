// vxsink beside a collector that takes posts and never answers: in parallel
// delivery that channel's backlog keeps its payloads, and input must still
// reach the channel beside it.
#include <signal.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"
#include "loopback_server.h"
#include "test_support.h"

#ifdef VX_VXSINK_PATH

using namespace std::chrono_literals;

namespace {

// More lines than vxsink reads ahead of the queue (1,024), each addressed to
// both channels.
constexpr int line_count = 2500;

TEST(VxsinkHungChannel, HealthyChannelGetsEveryLineWhileTheOtherNeverAnswers)
{
    vxtest::RawHttpServer hung;
    hung.SetResponder([](vxtest::RawHttpServer::Connection &, const vxtest::RawHttpServer::Request &) {
        // Reads the post and leaves it unanswered.
    });
    hung.Start();
    vxtest::HttpServer healthy;
    healthy.Start();

    vxtest::TempDir dir;
    const std::string conf = dir.Write("sink.json",
        "{ \"delivery\": \"parallel\", \"timeout_transfer\": 60, \"channels\": { "
        "\"hung\": { \"url\": \"" + hung.Url("/hung") + "\" }, "
        "\"healthy\": { \"url\": \"" + healthy.Url("/healthy") + "\" } } }");

    vxtest::ChildProcess sink({ VX_VXSINK_PATH, "--plugin", VX_PLUGIN_PATH, "--config", conf,
        "--channel", "hung", "--channel", "healthy" });
    std::string input;
    for (int i = 0; i < line_count; i++) input += "{\"n\":" + std::to_string(i) + "}\n";
    ASSERT_TRUE(sink.Write(input));

    // Alone the healthy channel takes well under a second; before the hung
    // one's backlog stopped counting against the read-ahead it got 1,024.
    EXPECT_TRUE(healthy.WaitForRequests(line_count, 30s))
        << healthy.RequestCount() << " of " << line_count << " posts\n" << sink.Stderr();
    EXPECT_GE(hung.RequestCount(), 1u);
    // Every line once, in whatever order the transfers finished.
    std::set<std::string> bodies;
    for (const auto &r : healthy.Requests()) bodies.insert(r.body);
    EXPECT_EQ(bodies.size(), static_cast<size_t>(line_count));
    for (int i : { 0, 1023, 1024, line_count - 1 })
        EXPECT_EQ(bodies.count("{\"n\":" + std::to_string(i) + "}"), 1u) << i;

    // The hung posts keep the end of input waiting: only a signal ends it.
    sink.Signal(SIGTERM);
    EXPECT_EQ(sink.Wait(10s), 128 + SIGTERM) << sink.Stderr();
    EXPECT_EQ(sink.StderrCount("backlog full"), 0u) << sink.Stderr();
}

} // namespace

#endif
