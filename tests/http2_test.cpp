// HTTP/2 against a real HTTP/2 server (nghttpd): over TLS as negotiated
// ("http_version": "2") and in clear with prior knowledge, in both delivery
// modes; every payload delivered, and in parallel delivery the posts of a
// channel sharing one TLS connection as streams.
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "child_process.h"
#include "loopback_server.h"
#include "running_plugin.h"
#include "test_support.h"

using namespace vxtest;
using namespace std::chrono_literals;

namespace {

struct Http2Case {
    const char *name;
    bool tls;
    bool parallel;
};

class Http2 : public PluginFixture<testing::TestWithParam<Http2Case>> { };

// Connections the server's trace shows ("[id=N]" per connection).
size_t Connections(const std::string &trace)
{
    std::set<std::string> ids;
    constexpr std::string_view mark = "[id=";
    for (size_t at = trace.find(mark); at != std::string::npos; at = trace.find(mark, at + 1)) {
        const size_t end = trace.find(']', at);
        if (end != std::string::npos) ids.insert(trace.substr(at + mark.size(), end - at - mark.size()));
    }
    return ids.size();
}

} // namespace

TEST_P(Http2, EveryPayloadDelivered)
{
    if (std::system("command -v nghttpd >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "nghttpd not installed (scripts/setup installs nghttp2-server)";
    const Http2Case &c = GetParam();
    TempDir root;
    root.Write("in", "ok\n");
    const int port = UnusedLoopbackPort();
    const TestCertificate &cert = GetTestCertificate();
    std::string command = "exec nghttpd -v --address=127.0.0.1 -d '" + root.Path().string() + "' " +
        std::to_string(port) + (c.tls ? " '" + cert.key_path + "' '" + cert.cert_path + "'" : " --no-tls") + " 1>&2";
    ChildProcess server({ "/bin/sh", "-c", command });
    ASSERT_TRUE(server.WaitForStderr("listen 127.0.0.1", 1, 20s)) << server.Stderr();

    const std::string url = std::string(c.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port) + "/in";
    RunningPlugin plugin(std::string("{ ") + (c.parallel ? R"("delivery": "parallel", "max_in_flight": 8, )" : "") +
        R"("channels": { "h2": { "url": ")" + url + R"(", "http_version": ")" + (c.tls ? "2" : "2-prior-knowledge") +
        R"(", "tls_ca_file": ")" + cert.cert_path + R"(" } } })");
    plugin.Start();
    constexpr int payloads = 40;
    for (int i = 0; i < payloads; i++) plugin.Queue("{\"n\":" + std::to_string(i) + "}", { "h2" });
    nlohmann::json status;
    ASSERT_TRUE(WaitUntil([&] {
        plugin.Sink().GetStatus(status);
        return status["channels"]["h2"]["posts"] == payloads;
    }, 30s)) << status.dump() << log.Text();
    EXPECT_EQ(status["channels"]["h2"]["succeeded"], payloads) << status.dump() << log.Text();
    plugin.Terminate();
    // The server's log reaches the test a little after its answers.
    server.WaitForStderr(":method: POST", static_cast<size_t>(payloads), 10s);
    EXPECT_EQ(server.StderrCount(":method: POST"), static_cast<size_t>(payloads));
    // Over TLS the posts are streams of one connection, whichever the mode.
    if (c.tls) {
        EXPECT_EQ(Connections(server.Stderr()), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, Http2,
    testing::Values(Http2Case{ "tls_serial", true, false }, Http2Case{ "tls_parallel", true, true },
        Http2Case{ "prior_knowledge_serial", false, false }, Http2Case{ "prior_knowledge_parallel", false, true }),
    [](const testing::TestParamInfo<Http2Case> &info) { return info.param.name; });
