// What the poster hands libcurl and what libcurl hands back: every channel
// setting reaching the handle (and only its own post), refused options,
// callbacks that must not let an exception into libcurl, and the trace's
// exact lines.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "delivery/post_result.h"
#include "delivery_support.h"
#include "failing_allocator.h"
#include "loopback_server.h"
#include "plugin/hts_plugin.h"
#include "test_support.h"

namespace {

using namespace vxtest;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

const std::string kTag = "tag";

class Transfer : public testing::Test
{
protected:
    LogCapture log{ false };
    GlobalConfigScope global;
};

std::string Reason(CURLcode code) { return curl_easy_strerror(code); }

// `line` is the poster's failure line for `channel` ending in libcurl's
// `code`; the reason between is libcurl's own text and only has to be there.
testing::AssertionResult IsFailureLine(const std::string &line, const htsChannelConfig &channel, CURLcode code)
{
    const std::string head = kTag + ": " + channel.channel + ": " + channel.url + ": ";
    const std::string tail = " [" + std::to_string(static_cast<int>(code)) + "]\n";
    if (line.size() > head.size() + tail.size() && line.compare(0, head.size(), head) == 0 &&
        line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "not a failure line with code " << code << ": " << line;
}

// --- Time limits -----------------------------------------------------------

// libcurl refuses a limit above its range; the handle then kept the previous
// channel's limit, and a channel meant to wait "forever" timed out after the
// neighbour's second.
TEST_F(Transfer, HugeTimeLimitIsClampedNotInheritedFromThePreviousPost)
{
    RawHttpServer server;
    server.SetResponder([](RawHttpServer::Connection &c, const RawHttpServer::Request &) {
        for (int i = 0; i < 15 && !c.Stopping(); i++) std::this_thread::sleep_for(100ms);
        c.Write(RawHttpServer::Ok());
    });
    server.Start();
    htsPlugin plugin(kTag, {});

    htsChannelConfig quick = MakeChannel("quick", server.Url());
    quick.timeout_transfer = 1;
    htsChannelConfig patient = MakeChannel("patient", server.Url());
    patient.timeout_transfer = 3000000;
    patient.timeout_connect = 4000000000u;

    plugin.PostPayload(quick, MakePayload("{}"));
    plugin.PostPayload(patient, MakePayload("{}"));
    const Lines lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u) << log.Text();
    EXPECT_TRUE(IsFailureLine(lines[0], quick, CURLE_OPERATION_TIMEDOUT));
}

TEST(TransferLimits, TimeoutSecondsKeepZeroAndClampToLibcurlsRange)
{
    EXPECT_EQ(htsTimeoutSeconds(0), 0);
    EXPECT_EQ(htsTimeoutSeconds(300), 300);
    EXPECT_EQ(htsTimeoutSeconds(2147483), 2147483);
    EXPECT_EQ(htsTimeoutSeconds(2147484), 2147483);
    EXPECT_EQ(htsTimeoutSeconds(4294967295u), 2147483);
}

// A listener whose accept queue is full drops new connection attempts, so a
// connect to it hangs until the connect limit.
class FullListener
{
public:
    FullListener()
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
            listen(fd, 0) != 0 || getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
            throw std::runtime_error("cannot listen on loopback");
        port = ntohs(addr.sin_port);
        for (int i = 0; i < 4; i++) {
            int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            (void)connect(c, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
            fillers.push_back(c);
        }
        std::this_thread::sleep_for(100ms);
    }
    ~FullListener()
    {
        for (int c : fillers) close(c);
        close(fd);
    }

    int port = 0;

private:
    int fd = -1;
    std::vector<int> fillers;
};

TEST_F(Transfer, ConnectLimitReachesLibcurl)
{
    FullListener listener;
    htsPlugin plugin(kTag, {});
    htsChannelConfig channel = MakeChannel("c", "http://127.0.0.1:" + std::to_string(listener.port) + "/");
    channel.timeout_connect = 1;
    channel.timeout_transfer = 30;

    const auto start = Clock::now();
    plugin.PostPayload(channel, MakePayload("{}"));
    const auto took = Clock::now() - start;

    const Lines lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u) << log.Text();
    EXPECT_TRUE(IsFailureLine(lines[0], channel, CURLE_OPERATION_TIMEDOUT));
    EXPECT_LT(took, 10s) << "the connect limit did not apply; the transfer limit did";
}

// --- Refused options --------------------------------------------------------

// A refused URL left the handle holding the previous channel's URL: the
// payload went to the wrong collector.
TEST_F(Transfer, RefusedOptionSkipsThePostInsteadOfUsingThePreviousValue)
{
    HttpServer first;
    first.Start();
    HttpServer second;
    second.Start();
    htsPlugin plugin(kTag, {});

    htsChannelConfig good = MakeChannel("good", first.Url());
    // Longer than any string option libcurl takes.
    htsChannelConfig huge = MakeChannel("huge", second.Url("/" + std::string(9'000'000, 'a')));

    plugin.PostPayload(good, MakePayload("{\"n\":1}"));
    plugin.PostPayload(huge, MakePayload("{\"n\":2}"));
    plugin.PostPayload(good, MakePayload("{\"n\":3}"));

    ASSERT_TRUE(first.WaitForRequests(2));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(first.RequestCount(), 2u);
    EXPECT_EQ(second.RequestCount(), 0u);
    EXPECT_EQ(log.Lines(),
        Lines{ FailureLine(kTag, huge, Reason(CURLE_BAD_FUNCTION_ARGUMENT), CURLE_BAD_FUNCTION_ARGUMENT) });
}

TEST(TransferResult, UnreadableResponseCodeLogsTheGetinfoCode)
{
    LogCapture log(false);
    htsChannelConfig channel = MakeChannel("c", "http://127.0.0.1:9/");
    // No handle to read from: libcurl answers the query with its own code.
    htsPostOutcome outcome = htsReportPost(kTag, channel, nullptr, CURLE_OK, "");
    EXPECT_EQ(outcome.code, CURLE_BAD_FUNCTION_ARGUMENT);
    EXPECT_EQ(log.Lines(),
        Lines{ FailureLine(kTag, channel, Reason(CURLE_BAD_FUNCTION_ARGUMENT), CURLE_BAD_FUNCTION_ARGUMENT) });
}

// --- TLS verification --------------------------------------------------------

// A certificate for another name, so only the host-name check can refuse it
// once the authority check is off.
const TestCertificate &WrongNameCertificate()
{
    static const TestCertificate cert = MakeSelfSignedCertificate("/CN=wrong.invalid", "DNS:wrong.invalid");
    return cert;
}

TEST_F(Transfer, VerifyOffRelaxesTheHostNameCheckToo)
{
    const TestCertificate &cert = WrongNameCertificate();
    httplib::SSLServer server(cert.cert_path.c_str(), cert.key_path.c_str());
    std::atomic<int> posts{ 0 };
    server.Post("/", [&](const httplib::Request &, httplib::Response &res) {
        posts++;
        res.status = 200;
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread listener([&] { server.listen_after_bind(); });
    ASSERT_TRUE(WaitUntil([&] { return server.is_running(); }));

    {
        htsPlugin plugin(kTag, {});
        htsChannelConfig relaxed = MakeChannel("relaxed", "https://127.0.0.1:" + std::to_string(port) + "/");
        relaxed.tls_verify = false;
        htsChannelConfig strict = relaxed;
        strict.channel = "strict";
        strict.tls_verify = true;

        plugin.PostPayload(relaxed, MakePayload("{}"));
        plugin.PostPayload(strict, MakePayload("{}"));
        EXPECT_EQ(posts.load(), 1);
        const Lines lines = log.Lines();
        ASSERT_EQ(lines.size(), 1u) << log.Text();
        EXPECT_TRUE(IsFailureLine(lines[0], strict, CURLE_PEER_FAILED_VERIFICATION));
    }
    server.stop();
    listener.join();
}

// --- Callbacks -----------------------------------------------------------------

// An exception from the agent's log (here: a sink that throws) inside the
// trace must not unwind through libcurl; the post goes on.
TEST_F(Transfer, ThrowingTraceLeavesThePostWhole)
{
    HttpServer server;
    server.Start();
    global.config.flags.Set(vxGlobalConfig::DEBUG_CURL);
    LogCapture debug(true);
    std::atomic<int> thrown{ 0 };
    vx_log_set_sink([&](const std::string &text) {
        if (text.rfind(kTag + ": -->", 0) == 0 || text.rfind(kTag + ": <--", 0) == 0) {
            thrown++;
            throw std::runtime_error("log full");
        }
    });
    {
        htsPlugin plugin(kTag, {});
        htsChannelConfig channel = MakeChannel("c", server.Url());
        plugin.PostPayload(channel, MakePayload("{\"n\":1}"));
        plugin.PostPayload(channel, MakePayload("{\"n\":2}"));
    }
    vx_log_set_sink({});
    EXPECT_GT(thrown.load(), 0);
    EXPECT_EQ(server.RequestCount(), 2u);
}

// The response sink's allocation failure: its own line with the bytes
// offered, 0 to libcurl, which ends the transfer as a write error.
TEST_F(Transfer, ResponseBufferFailureIsLoggedAndAbortsTheTransfer)
{
    RawHttpServer server;
    const std::string body(200'000, 'r');
    server.SetResponder([&](RawHttpServer::Connection &c, const RawHttpServer::Request &) {
        c.Write(RawHttpServer::Ok(body));
    });
    server.Start();
    htsPlugin plugin(kTag, {});
    htsChannelConfig channel = MakeChannel("c", server.Url());

    // Only the response's own growth asks for this much on this thread.
    if (!AllocationFailuresAvailable()) GTEST_SKIP() << "no failing allocator in this build";
    FailAllocation(1, 1024);
    plugin.PostPayload(channel, MakePayload("{}"));
    FailAllocation(0);

    Lines lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u) << log.Text();
    const std::string head = kTag + ": Error appending ";
    EXPECT_EQ(lines[0].substr(0, head.size()), head);
    EXPECT_NE(lines[0].find(" bytes to return buffer: std::bad_alloc\n"), std::string::npos) << lines[0];
    EXPECT_TRUE(IsFailureLine(lines[1], channel, CURLE_WRITE_ERROR));

    // The same handle posts normally afterwards.
    log.Clear();
    plugin.PostPayload(channel, MakePayload("{}"));
    EXPECT_EQ(log.Lines(), Lines{});
}

TEST(TransferCallback, AppendDataReportsTheFailureAndReturnsZero)
{
    LogCapture log(false);
    htsPlugin plugin(kTag, {});
    if (!AllocationFailuresAvailable()) GTEST_SKIP() << "no failing allocator in this build";
    const std::string chunk(5000, 'x');
    FailAllocation(1);
    const size_t taken = plugin.AppendData(chunk.data(), chunk.size());
    FailAllocation(0);
    EXPECT_EQ(taken, 0u);
    EXPECT_EQ(log.Lines(), Lines{ kTag + ": Error appending 5000 bytes to return buffer: std::bad_alloc\n" });
    EXPECT_EQ(plugin.AppendData(chunk.data(), chunk.size()), chunk.size());
}

// --- The trace, byte for byte -------------------------------------------------

class Trace : public testing::Test
{
protected:
    void SetUp() override { global.config.flags.Set(vxGlobalConfig::DEBUG_CURL); }

    LogCapture log{ true };
    GlobalConfigScope global;
};

TEST_F(Trace, LinesAreLibcurlsTextWithTheirMarks)
{
    RawHttpServer server;
    server.SetResponder([](RawHttpServer::Connection &c, const RawHttpServer::Request &) {
        c.Write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    });
    server.Start();
    htsPlugin plugin(kTag, {});
    htsChannelConfig channel = MakeChannel("c", server.Url());
    plugin.PostPayload(channel, MakePayload("{\"a\":1}"));
    ASSERT_EQ(server.RequestCount(), 1u);

    const Lines lines = log.Lines();
    auto has = [&](const std::string &line) { return std::find(lines.begin(), lines.end(), line) != lines.end(); };
    // Sent headers come as one block, received ones line by line; neither
    // gets a newline of the trace's own.
    EXPECT_TRUE(has(kTag + ": --> " + server.Requests()[0].head)) << log.Text();
    EXPECT_TRUE(has(kTag + ": <-- HTTP/1.1 200 OK\r\n"));
    EXPECT_TRUE(has(kTag + ": <-- Content-Length: 2\r\n"));
    EXPECT_TRUE(has(kTag + ": <-- \r\n"));
    EXPECT_TRUE(has(kTag + ": --> 7 data bytes\n"));
    EXPECT_TRUE(has(kTag + ": <-- 2 data bytes\n"));
    for (const std::string &line : lines) {
        EXPECT_EQ(line.rfind(kTag + ": ", 0), 0u) << line;
        EXPECT_FALSE(line.size() >= 2 && line.compare(line.size() - 2, 2, "\n\n") == 0) << line;
    }
}

TEST_F(Trace, TlsRecordsAreMarkedByDirection)
{
    HttpServer server(true);
    server.Start();
    htsPlugin plugin(kTag, {});
    htsChannelConfig channel = MakeChannel("c", server.Url());
    channel.tls_verify = false;
    plugin.PostPayload(channel, MakePayload("{}"));
    ASSERT_EQ(server.RequestCount(), 1u);

    // The client speaks first in a handshake.
    std::vector<std::string> tls;
    for (const std::string &line : log.Lines()) {
        if (line.find(" SSL bytes\n") != std::string::npos) tls.push_back(line);
    }
    ASSERT_GE(tls.size(), 2u) << log.Text();
    EXPECT_EQ(tls.front().rfind(kTag + ": --> ", 0), 0u) << tls.front();
    EXPECT_TRUE(std::any_of(tls.begin(), tls.end(),
        [](const std::string &line) { return line.rfind(kTag + ": <-- ", 0) == 0; }));
}

TEST_F(Trace, WithdrawnGlobalConfigurationSilencesTheTrace)
{
    HttpServer server;
    server.Start();
    htsPlugin plugin(kTag, {});
    htsChannelConfig channel = MakeChannel("c", server.Url());
    plugin.PostPayload(channel, MakePayload("{}"));
    ASSERT_GT(log.Count(kTag + ": --> "), 0u);

    log.Clear();
    vxGlobalConfig::SetInstance(nullptr);
    plugin.PostPayload(channel, MakePayload("{}"));
    vxGlobalConfig::SetInstance(&global.config);
    EXPECT_EQ(server.RequestCount(), 2u);
    EXPECT_EQ(log.Lines(), Lines{});

    // Switched off in the published configuration: silent as well.
    global.config.flags.Clear(vxGlobalConfig::DEBUG_CURL);
    plugin.PostPayload(channel, MakePayload("{}"));
    EXPECT_EQ(log.Lines(), Lines{});
}

} // namespace
