// Misbehaving servers at the other end of a channel. The agent must see one
// log line per failed post, the payload behind it must still go out, and a
// stop request must end the thread promptly whatever the server is doing.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "delivery_support.h"
#include "loopback_server.h"
#include "plugin/hts_plugin.h"
#include "running_plugin.h"
#include "test_support.h"

using namespace std::chrono_literals;

namespace {

constexpr char kTag[] = "faults";
// How long a stop may take, whatever the transfer in progress is doing.
constexpr auto kStopDeadline = 3s;

// Whatever a case needs on the far side of its channel.
// Loopback send and receive buffers together stay well below this.
constexpr uint64_t kPastSocketBuffers = 32ull * 1024 * 1024;

struct Endpoints {
    std::unique_ptr<vxtest::RawHttpServer> raw;
    std::unique_ptr<vxtest::HttpServer> tls;
    std::unique_ptr<vxtest::LoopbackSocket> reserved;
    std::atomic<uint64_t> bytes_written{ 0 };

    Endpoints() = default;
    Endpoints(const Endpoints &) = delete;
    Endpoints &operator=(const Endpoints &) = delete;
    ~Endpoints()
    {
        if (raw) raw->Stop();
        if (tls) tls->Stop();
    }

    vxtest::RawHttpServer &Raw(vxtest::RawHttpServer::Responder responder)
    {
        raw = std::make_unique<vxtest::RawHttpServer>();
        raw->SetResponder(std::move(responder));
        return *raw;
    }

    // A loopback port that is bound but never listens: nobody else can take
    // it, and every connection to it is refused.
    int ReservePort()
    {
        reserved = std::make_unique<vxtest::LoopbackSocket>();
        return reserved->Port();
    }
};

struct FaultCase {
    const char *name;
    int code; // libcurl's code in the logged line
    // True when the transfer is certainly still running once the server has
    // the request, so a stop then must cut it (code 42).
    bool hangs;
    // Turns on libcurl's trace, whose lines show when a connection attempt
    // begins where no server of ours can tell.
    bool trace;
    // Requests the misbehaving server sees for one payload: one, as nothing
    // is retried, or one per redirect followed; 0 where no server counts.
    size_t requests;
    // Brings up the endpoint; returns the "fault" channel's JSON members.
    std::function<std::string(Endpoints &)> setup;
    // Returns once the transfer has reached the server, where it can.
    std::function<void(Endpoints &, const vxtest::LogCapture &)> wait_underway;
};
void PrintTo(const FaultCase &c, std::ostream *os) { *os << c.name; }


std::string UrlMember(const std::string &url) { return "\"url\": \"" + url + "\""; }

void ChunksForever(Endpoints &ep, vxtest::RawHttpServer::Connection &c)
{
    if (!c.Write("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n"))
        return;
    const std::string chunk = "4000\r\n" + std::string(0x4000, 'x') + "\r\n";
    while (!c.Stopping() && c.Write(chunk)) ep.bytes_written += chunk.size();
}

void WaitForRawRequest(Endpoints &ep, const vxtest::LogCapture &)
{
    ASSERT_TRUE(ep.raw->WaitForRequests(1));
}

// With libcurl's trace on, whatever is logged after the configuration's
// load line is the transfer under way: nothing else is written in between.
void WaitForConnectAttempt(Endpoints &, const vxtest::LogCapture &log)
{
    const std::string loading = std::string(kTag) + ": Loading configuration: ";
    ASSERT_TRUE(vxtest::WaitUntil([&] {
        auto lines = log.Lines();
        auto loaded = std::find_if(lines.begin(), lines.end(),
            [&](const std::string &line) { return line.rfind(loading, 0) == 0; });
        return loaded != lines.end() && std::next(loaded) != lines.end();
    })) << log.Text();
}

const FaultCase kFaults[] = {
    { "ConnectionRefused", 7, false, true, 0,
        [](Endpoints &ep) {
            return UrlMember("http://127.0.0.1:" + std::to_string(ep.ReservePort()) + "/refused");
        },
        WaitForConnectAttempt },
    { "ResetMidRequest", 56, false, false, 1,
        [](Endpoints &ep) {
            auto &s = ep.Raw([](vxtest::RawHttpServer::Connection &, const vxtest::RawHttpServer::Request &) { });
            s.SetHeadHook([](vxtest::RawHttpServer::Connection &c, const vxtest::RawHttpServer::Request &) {
                c.Reset();
                return false;
            });
            s.Start();
            return UrlMember(s.Url("/reset"));
        },
        WaitForRawRequest },
    { "ClosedBeforeAnswering", 52, false, false, 1,
        [](Endpoints &ep) {
            auto &s = ep.Raw([](vxtest::RawHttpServer::Connection &c, const vxtest::RawHttpServer::Request &) {
                c.Close();
            });
            s.Start();
            return UrlMember(s.Url("/close"));
        },
        WaitForRawRequest },
    { "NeverAnswers", 28, true, false, 1,
        [](Endpoints &ep) {
            // Reads the request and says nothing; the connection stays open.
            auto &s = ep.Raw([](vxtest::RawHttpServer::Connection &, const vxtest::RawHttpServer::Request &) { });
            s.Start();
            return UrlMember(s.Url("/silent")) + ", \"timeout_transfer\": 1";
        },
        WaitForRawRequest },
    { "RedirectLoop", 47, false, false, 31,
        [](Endpoints &ep) {
            auto &s = ep.Raw([](vxtest::RawHttpServer::Connection &c, const vxtest::RawHttpServer::Request &) {
                c.Write("HTTP/1.1 302 Found\r\nLocation: /loop\r\nContent-Length: 0\r\n\r\n");
            });
            s.Start();
            return UrlMember(s.Url("/loop"));
        },
        WaitForRawRequest },
    { "UntrustedCertificate", 60, false, true, 0,
        [](Endpoints &ep) {
            ep.tls = std::make_unique<vxtest::HttpServer>(true);
            ep.tls->Start();
            return UrlMember(ep.tls->Url("/tls"));
        },
        WaitForConnectAttempt },
    { "ResponseNeverEnds", 28, true, false, 1,
        [](Endpoints &ep) {
            auto &s = ep.Raw([&ep](vxtest::RawHttpServer::Connection &c, const vxtest::RawHttpServer::Request &) {
                ChunksForever(ep, c);
            });
            s.Start();
            return UrlMember(s.Url("/endless")) + ", \"timeout_transfer\": 1";
        },
        [](Endpoints &ep, const vxtest::LogCapture &) {
            // Well past what the plug-in keeps, and past what the two socket
            // buffers can hold, so the plug-in has surely read part of it.
            ASSERT_TRUE(vxtest::WaitUntil([&] { return ep.bytes_written.load() > kPastSocketBuffers; }));
        } },
};

// The lines logged for the "fault" channel.
std::vector<vxtest::FailedPost> FailureLines(const vxtest::LogCapture &log, const std::string &url)
{
    return vxtest::FailedPosts(log.Lines(), kTag, "fault", url);
}

std::string ExtractUrl(const std::string &members)
{
    size_t start = members.find("\"url\": \"") + 8;
    return members.substr(start, members.find('"', start) - start);
}

class Faults : public vxtest::PluginFixture<testing::TestWithParam<FaultCase>>
{
protected:
    std::string Config(const std::string &fault_members, const std::string &good_url)
    {
        std::string config = "{ \"channels\": { \"fault\": { " + fault_members + " }";
        if (!good_url.empty()) config += ", \"good\": { " + UrlMember(good_url) + " }";
        return config + " } }";
    }

    Endpoints ep;
};

TEST_P(Faults, LoggedOnceAndTheNextPayloadIsDelivered)
{
    const FaultCase &fault = GetParam();
    vxtest::HttpServer good;
    good.Start();
    const std::string members = fault.setup(ep);
    const std::string url = ExtractUrl(members);

    auto started = std::chrono::steady_clock::now();
    vxtest::RunningPlugin plugin(Config(members, good.Url("/next")), kTag);
    plugin.Start();
    plugin.Queue("{\"n\":1}", { "fault" });
    auto next = plugin.Queue("{\"n\":2}", { "good" });

    ASSERT_TRUE(good.WaitForRequests(1)) << log.Text();
    ASSERT_TRUE(vxtest::WaitUntil([&] { return next.expired(); }));
    EXPECT_EQ(good.Requests()[0].body, "{\"n\":2}");

    // Posts run one after another, so the failure was logged before the
    // next payload left.
    auto lines = FailureLines(log, url);
    ASSERT_EQ(lines.size(), 1u) << log.Text();
    EXPECT_EQ(lines[0].code, fault.code) << lines[0].reason;
    EXPECT_FALSE(lines[0].reason.empty());
    RecordProperty("logged", lines[0].reason + " [" + std::to_string(lines[0].code) + "]");
    if (fault.requests > 0) {
        // The server records a request it resets only after the reset, which
        // the plug-in may have seen and logged first.
        EXPECT_TRUE(ep.raw->WaitForRequests(fault.requests));
        EXPECT_EQ(ep.raw->RequestCount(), fault.requests);
    }

    EXPECT_LE(plugin.Terminate(), kStopDeadline);
    RecordProperty("elapsed_ms", static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started).count()));
}

TEST_P(Faults, StopInTheMiddleEndsThreadPromptly)
{
    const FaultCase &fault = GetParam();
    const std::string members = fault.setup(ep);
    const std::string url = ExtractUrl(members);

    if (fault.trace) global.config.flags.Set(vxGlobalConfig::DEBUG_CURL);
    vxtest::RunningPlugin plugin(Config(members, ""), kTag);
    plugin.Start();
    plugin.Queue("{\"n\":1}", { "fault" });
    fault.wait_underway(ep, log);
    if (HasFatalFailure()) return;

    auto took = plugin.Terminate();
    EXPECT_LE(took, kStopDeadline);

    // The post had begun, so it ends in exactly one line either way.
    auto lines = FailureLines(log, url);
    ASSERT_EQ(lines.size(), 1u) << log.Text();
    RecordProperty("logged", lines[0].reason + " [" + std::to_string(lines[0].code) + "]");
    if (fault.hangs) {
        // The server was still holding the transfer: the stop cut it.
        EXPECT_EQ(lines[0].code, 42) << lines[0].reason;
        EXPECT_FALSE(lines[0].reason.empty());
    }
    else {
        // A quick failure may be over before the stop lands, or be cut by it.
        EXPECT_TRUE(lines[0].code == fault.code || lines[0].code == 42) << lines[0].reason;
    }
    if (std::string(fault.name) == "ResponseNeverEnds") {
        // Megabytes went by; only the head of the body was kept.
        EXPECT_GT(ep.bytes_written.load(), kPastSocketBuffers);
        EXPECT_EQ(plugin.Object().response.size(), htsResponseMax);
    }
    RecordProperty("stop_ms", static_cast<int>(took.count()));
}

INSTANTIATE_TEST_SUITE_P(Server, Faults, testing::ValuesIn(kFaults),
    [](const testing::TestParamInfo<FaultCase> &info) { return std::string(info.param.name); });

// A keep-alive connection the server drops between two posts. The plug-in
// never retries on its own; libcurl checks a cached connection before reuse
// and, when a reused one dies before any answer, sends the request once more
// on a fresh connection. Either way the second payload must arrive.
struct IdleCloseCase {
    const char *name;
    // What the server does with a request that is not the first on its
    // connection; the first is always answered.
    enum { CLOSE_WHILE_IDLE, CLOSE_ON_NEXT_REQUEST, RESET_ON_NEXT_REQUEST } how;
};
void PrintTo(const IdleCloseCase &c, std::ostream *os) { *os << c.name; }


// Both engines: the parallel one keeps a socket between posts in its set of
// watched sockets, where the peer's close shows first.
class IdleClose
    : public vxtest::PluginFixture<testing::TestWithParam<std::tuple<IdleCloseCase, const char *>>> { };

TEST_P(IdleClose, SecondPayloadStillArrives)
{
    const IdleCloseCase &c = std::get<0>(GetParam());
    const std::string delivery = std::get<1>(GetParam());
    std::mutex lock;
    std::map<int, int> served; // requests seen per connection
    std::atomic<int> closed_idle{ 0 };

    vxtest::RawHttpServer server;
    server.SetResponder([&](vxtest::RawHttpServer::Connection &conn, const vxtest::RawHttpServer::Request &req) {
        int nth;
        {
            std::lock_guard<std::mutex> guard(lock);
            nth = ++served[req.connection];
        }
        if (c.how == IdleCloseCase::CLOSE_WHILE_IDLE) {
            conn.Write(vxtest::RawHttpServer::Ok("ok"));
            // The server's idle limit, short: the connection is dropped
            // after the answer, before the client has anything more to send.
            std::this_thread::sleep_for(50ms);
            conn.Close();
            closed_idle++;
            return;
        }
        if (nth == 1) {
            conn.Write(vxtest::RawHttpServer::Ok("ok"));
            return;
        }
        // The idle limit ran out just as the next request came in.
        if (c.how == IdleCloseCase::CLOSE_ON_NEXT_REQUEST)
            conn.Close();
        else
            conn.Reset();
    });
    server.Start();

    vxtest::RunningPlugin plugin("{ \"delivery\": \"" + delivery + "\", \"channels\": { \"fault\": { " +
            UrlMember(server.Url("/idle")) + " } } }",
        kTag);
    plugin.Start();
    plugin.Queue("{\"n\":1}", { "fault" });
    ASSERT_TRUE(server.WaitForRequests(1));
    if (c.how == IdleCloseCase::CLOSE_WHILE_IDLE) {
        ASSERT_TRUE(vxtest::WaitUntil([&] { return closed_idle.load() == 1; }));
    }
    auto second = plugin.Queue("{\"n\":2}", { "fault" });

    ASSERT_TRUE(vxtest::WaitUntil([&] { return second.expired(); })) << log.Text();
    EXPECT_LE(plugin.Terminate(), kStopDeadline);

    std::vector<std::string> seen;
    for (const auto &r : server.Requests()) seen.push_back(std::to_string(r.connection) + " " + r.body);
    if (c.how == IdleCloseCase::CLOSE_WHILE_IDLE) {
        EXPECT_EQ(seen, (std::vector<std::string>{ "1 {\"n\":1}", "2 {\"n\":2}" }));
    }
    else {
        EXPECT_EQ(seen, (std::vector<std::string>{ "1 {\"n\":1}", "1 {\"n\":2}", "2 {\"n\":2}" }));
    }
    EXPECT_EQ(server.Connections(), 2u);
    EXPECT_TRUE(FailureLines(log, server.Url("/idle")).empty()) << log.Text();
}

const IdleCloseCase kIdleCloses[] = {
    { "ClosedWhileIdle", IdleCloseCase::CLOSE_WHILE_IDLE },
    { "ClosedAsNextRequestArrives", IdleCloseCase::CLOSE_ON_NEXT_REQUEST },
    { "ResetAsNextRequestArrives", IdleCloseCase::RESET_ON_NEXT_REQUEST },
};

INSTANTIATE_TEST_SUITE_P(KeepAlive, IdleClose, testing::Combine(testing::ValuesIn(kIdleCloses), testing::Values("serial", "parallel")),
    [](const testing::TestParamInfo<IdleClose::ParamType> &info) {
        return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param);
    });

} // namespace
