// Posting payloads over the plug-in's one libcurl handle to real loopback
// servers: bodies, answers, redirects, refused schemes, transfer errors, TLS,
// connection reuse, oversized answers, stopping, and the debug trace.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <latch>
#include <thread>

#include <gtest/gtest.h>

#include "delivery_support.h"
#include "loopback_server.h"
#include "plugin/hts_plugin.h"
#include "test_support.h"
#include "vxexception.h"

namespace {

using namespace vxtest;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

const uint32_t kJson = vxPlugin::FORMAT_JSON;
const uint32_t kMsgpack = vxPlugin::FORMAT_MSGPACK;
const uint32_t kGzip = vxPlugin::COMPRESS_GZIP;

const std::string kTag = "tag";

// Every test logs through a capture (operator lines only) and has a global
// configuration. Servers are declared in each test before the plug-in, so
// the plug-in and its kept-alive connections go first.
class Poster : public testing::Test
{
protected:
    LogCapture log{ false };
    GlobalConfigScope global;
};

std::string RequestLine(const RawHttpServer::Request &r) { return r.head.substr(0, r.head.find("\r\n")); }

bool HasLine(const Lines &lines, const std::string &line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// `line` is `prefix`, a decimal number, then `suffix`.
bool MatchesAroundNumber(const std::string &line, const std::string &prefix, const std::string &suffix)
{
    if (line.size() <= prefix.size() + suffix.size() || line.compare(0, prefix.size(), prefix) != 0 ||
        line.compare(line.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    return std::all_of(line.begin() + prefix.size(), line.end() - suffix.size(),
        [](unsigned char ch) { return std::isdigit(ch) != 0; });
}

// --- The request ----------------------------------------------------------------

TEST_F(Poster, BodyArrivesByteForByte)
{
    RawHttpServer server;
    // libcurl asks before sending a body over 1 MiB; agree at once rather
    // than let it wait out its delay.
    server.SetHeadHook([](RawHttpServer::Connection &c, const RawHttpServer::Request &r) {
        if (r.head.find("\r\nExpect: 100-continue\r\n") != std::string::npos)
            c.Write("HTTP/1.1 100 Continue\r\n\r\n");
        return true;
    });
    server.Start();
    htsPlugin plugin(kTag, {});

    std::string every_byte;
    for (int i = 0; i < 512; i++) every_byte.push_back(static_cast<char>(i));

    struct {
        const char *name;
        std::string body;
        uint32_t flags;
    } cases[] = {
        { "empty", "", kJson },
        { "json text", "{\"flow\":[1,2,3],\"note\":\"\xc3\xa9\"}", kJson },
        { "every byte value", every_byte, kMsgpack },
        { "gzip-announced binary", BinaryBytes(4096, 7), kGzip | kJson },
        { "3 MiB with NULs", BinaryBytes(3 << 20, 3), kMsgpack },
    };

    htsChannelConfig channel = MakeChannel("c", server.Url("/bodies"));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        size_t before = server.RequestCount();
        plugin.PostPayload(channel, MakePayload(c.body, c.flags));
        ASSERT_EQ(server.RequestCount(), before + 1);
        auto request = server.Requests().back();
        EXPECT_EQ(RequestLine(request), "POST /bodies HTTP/1.1");
        EXPECT_TRUE(HasLine(request.HeaderLines(), "Content-Length: " + std::to_string(c.body.size())));
        EXPECT_TRUE(request.body == c.body) << "body differs (" << request.body.size() << " bytes arrived)";
    }
    EXPECT_EQ(log.Lines(), Lines());
}

// --- Answers --------------------------------------------------------------------

TEST_F(Poster, OnlyStatus200IsSilent)
{
    RawHttpServer server;
    // Answers with the status named by the path, "/status/NNN".
    server.SetResponder([](RawHttpServer::Connection &c, const RawHttpServer::Request &r) {
        int code = std::stoi(RequestLine(r).substr(std::string("POST /status/").size(), 3));
        c.Write(RawHttpServer::Ok(code == 204 ? "" : "answer", code, "Whatever"));
    });
    server.Start();
    htsPlugin plugin(kTag, {});

    struct {
        int code;
        bool logged;
    } cases[] = { { 200, false }, { 201, true }, { 204, true }, { 404, true }, { 500, true }, { 200, false } };

    for (const auto &c : cases) {
        SCOPED_TRACE(c.code);
        log.Clear();
        htsChannelConfig channel = MakeChannel("status", server.Url("/status/" + std::to_string(c.code)));
        plugin.PostPayload(channel, MakePayload("{}"));
        EXPECT_EQ(log.Lines(), c.logged ? Lines{ HttpLine(kTag, channel, c.code) } : Lines());
    }
    EXPECT_EQ(server.RequestCount(), std::size(cases));
    EXPECT_EQ(server.Connections(), 1u) << "a non-200 answer must not cost the connection";
}

// 301 and 302 keep the POST and its body; 307 and 308 do so by definition.
// 303 asks for the target to be fetched, and libcurl does that with a GET
// without the body.
TEST_F(Poster, RedirectsFollowedAndPostKept)
{
    struct {
        int code;
        const char *method;
        bool body_resent;
    } cases[] = {
        { 301, "POST", true }, { 302, "POST", true }, { 307, "POST", true }, { 308, "POST", true },
        { 303, "GET", false },
    };

    HttpServer server;
    for (const auto &c : cases) {
        std::string code = std::to_string(c.code);
        server.Server().Post("/from/" + code,
            server.Recording([code, status = c.code](const httplib::Request &, httplib::Response &res) {
                res.set_redirect("/to/" + code, status);
            }));
    }
    server.Server().Get("/to/.*", server.Recording([](const httplib::Request &, httplib::Response &res) {
        res.status = 200;
    }));
    server.Start();
    htsPlugin plugin(kTag, {});

    const std::string body = BinaryBytes(1000, 11);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.code);
        size_t before = server.RequestCount();
        htsChannelConfig channel = MakeChannel("r", server.Url("/from/" + std::to_string(c.code)));
        plugin.PostPayload(channel, MakePayload(body, kMsgpack));

        ASSERT_EQ(server.RequestCount(), before + 2);
        auto requests = server.Requests();
        const auto &from = requests[before];
        const auto &to = requests[before + 1];
        EXPECT_EQ(from.method, "POST");
        EXPECT_TRUE(from.body == body);
        EXPECT_EQ(to.path, "/to/" + std::to_string(c.code));
        EXPECT_EQ(to.method, c.method);
        EXPECT_TRUE(to.body == (c.body_resent ? body : std::string()));
    }
    EXPECT_EQ(log.Lines(), Lines());
}

TEST_F(Poster, RedirectLoopStopsAfterThirtyFollows)
{
    HttpServer server;
    server.Server().Post("/loop", server.Recording([](const httplib::Request &, httplib::Response &res) {
        res.set_redirect("/loop", 302);
    }));
    server.Start();
    htsPlugin plugin(kTag, {});

    htsChannelConfig channel = MakeChannel("loop", server.Url("/loop"));
    plugin.PostPayload(channel, MakePayload("{}"));
    EXPECT_TRUE(OnlyFailedPost(log.Lines(), kTag, channel, CURLE_TOO_MANY_REDIRECTS));
    EXPECT_EQ(server.RequestCount(), 31u);
}

// --- Schemes other than http and https --------------------------------------------

// Neither a channel URL nor a server's redirect may take a payload anywhere
// but to an HTTP(S) server. The raw server stands where a service of the
// other scheme would be: it must never see a connection.
TEST_F(Poster, OtherSchemesRefusedForUrlsAndRedirects)
{
    TempDir dir;
    const std::string secret = dir.Write("secret", "local-file-contents");

    RawHttpServer elsewhere;
    elsewhere.Start();
    const std::string there = "127.0.0.1:" + std::to_string(elsewhere.Port());

    struct {
        const char *name;
        std::string target;
        const char *scheme;
    } cases[] = {
        { "file", "file://" + secret, "file" },
        { "ftp", "ftp://" + there + "/x", "ftp" },
        { "gopher", "gopher://" + there + "/1x", "gopher" },
        { "dict", "dict://" + there + "/d:word", "dict" },
        { "telnet", "telnet://" + there + "/", "telnet" },
    };

    HttpServer redirector;
    for (const auto &c : cases) {
        redirector.Server().Post(std::string("/to-") + c.name,
            redirector.Recording([target = c.target](const httplib::Request &, httplib::Response &res) {
                res.set_redirect(target, 302);
            }));
    }
    redirector.Start();
    htsPlugin plugin(kTag, {});

    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::string &url : { c.target, redirector.Url(std::string("/to-") + c.name) }) {
            SCOPED_TRACE(url);
            log.Clear();
            htsChannelConfig channel = MakeChannel("other", url);
            channel.timeout_transfer = 2;
            plugin.PostPayload(channel, MakePayload("{}"));
            EXPECT_TRUE(OnlyFailedPost(log.Lines(), kTag, channel, CURLE_UNSUPPORTED_PROTOCOL));
            EXPECT_EQ(plugin.response.find("local-file-contents"), std::string::npos);
        }
    }
    EXPECT_EQ(redirector.RequestCount(), std::size(cases));
    EXPECT_EQ(elsewhere.Connections(), 0u);
}

// --- Transfer errors ------------------------------------------------------------------

TEST_F(Poster, UnreachablePortLoggedAndNextPostDelivered)
{
    HttpServer server;
    server.Start();
    htsPlugin plugin(kTag, {});

    const int port = UnusedLoopbackPort();
    htsChannelConfig dead = MakeChannel("dead", "http://127.0.0.1:" + std::to_string(port) + "/");
    plugin.PostPayload(dead, MakePayload("{}"));
    EXPECT_TRUE(OnlyFailedPost(log.Lines(), kTag, dead, CURLE_COULDNT_CONNECT));

    htsChannelConfig live = MakeChannel("live", server.Url("/after"));
    plugin.PostPayload(live, MakePayload("{\"next\":true}"));
    ASSERT_EQ(server.RequestCount(), 1u);
    EXPECT_EQ(server.Requests()[0].body, "{\"next\":true}");
    EXPECT_EQ(log.Lines().size(), 1u);
}

// These URLs fail before libcurl writes its error buffer; the line then
// carries libcurl's text for the code instead of an empty reason.
TEST_F(Poster, EmptyErrorBufferReplacedByTheCodesText)
{
    htsPlugin plugin(kTag, {});
    for (const char *url : { "http://", "http://[::1:1/", "http://127.0.0.1:99999/", "" }) {
        SCOPED_TRACE(url);
        log.Clear();
        htsChannelConfig channel = MakeChannel("bad", url);
        plugin.PostPayload(channel, MakePayload("{}"));
        EXPECT_STREQ(plugin.curl_error, "");
        EXPECT_EQ(log.Lines(), Lines{ FailureLine(kTag, channel, curl_easy_strerror(CURLE_URL_MALFORMAT), 3) });
    }
}

// --- TLS ----------------------------------------------------------------------------

// The handle is shared, so a channel that verifies must not inherit the
// relaxed settings (or the unverified connection) of the channel before it.
TEST_F(Poster, TlsVerificationFollowsEachChannel)
{
    HttpServer server(true);
    server.Start();
    htsPlugin plugin(kTag, {});

    htsChannelConfig lenient = MakeChannel("lenient", server.Url("/lenient"));
    lenient.tls_verify = false;
    htsChannelConfig strict = MakeChannel("strict", server.Url("/strict"));
    htsChannelConfig pinned = MakeChannel("pinned", server.Url("/pinned"));
    pinned.tls_verify = false;
    pinned.tls_version1 = true;

    struct {
        htsChannelConfig *channel;
        bool delivered;
    } steps[] = { { &lenient, true }, { &strict, false }, { &lenient, true }, { &pinned, true }, { &strict, false } };

    for (const auto &s : steps) {
        SCOPED_TRACE(s.channel->channel);
        log.Clear();
        size_t before = server.RequestCount();
        plugin.PostPayload(*s.channel, MakePayload("{}"));
        EXPECT_EQ(server.RequestCount(), before + (s.delivered ? 1 : 0));
        if (s.delivered)
            EXPECT_EQ(log.Lines(), Lines());
        else
            EXPECT_TRUE(OnlyFailedPost(log.Lines(), kTag, *s.channel, CURLE_PEER_FAILED_VERIFICATION));
    }
}

// --- Connections -----------------------------------------------------------------------

TEST_F(Poster, PostsShareOneConnectionAcrossChannels)
{
    HttpServer server;
    server.Start();
    htsPlugin plugin(kTag, {});
    htsChannelConfig a = MakeChannel("a", server.Url("/a"));
    htsChannelConfig b = MakeChannel("b", server.Url("/b"));

    const int posts = 50;
    for (int i = 0; i < posts; i++)
        plugin.PostPayload(i % 2 ? b : a, MakePayload(std::to_string(i), i % 3 ? kJson : kMsgpack));

    ASSERT_EQ(server.RequestCount(), static_cast<size_t>(posts));
    auto requests = server.Requests();
    for (int i = 0; i < posts; i++) {
        EXPECT_EQ(requests[i].path, i % 2 ? "/b" : "/a");
        EXPECT_EQ(requests[i].body, std::to_string(i));
    }
    EXPECT_EQ(server.Connections(), 1u);
    EXPECT_EQ(log.Lines(), Lines());
}

// --- Oversized answers ----------------------------------------------------------------

// A server that answers with far more than anyone reads: the transfer
// completes (the rest is drained, so the connection stays usable) and only
// the head of the body is kept.
TEST_F(Poster, HugeAnswerKeepsOnlyItsHead)
{
    const size_t block_size = 1 << 20;
    const size_t blocks = 64;
    const std::string block = BinaryBytes(block_size, 9);

    RawHttpServer server;
    server.SetResponder([&](RawHttpServer::Connection &c, const RawHttpServer::Request &r) {
        const std::string path = RequestLine(r);
        if (path.find("/small") != std::string::npos) {
            c.Write(RawHttpServer::Ok("ok"));
            return;
        }
        const bool chunked = path.find("/chunked") != std::string::npos;
        c.Write(chunked ? "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                        : "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(block_size * blocks) + "\r\n\r\n");
        char size_line[32];
        snprintf(size_line, sizeof(size_line), "%zx\r\n", block_size);
        for (size_t i = 0; i < blocks; i++) {
            if (chunked && !c.Write(size_line)) return;
            if (!c.Write(block)) return;
            if (chunked && !c.Write("\r\n")) return;
        }
        if (chunked) c.Write("0\r\n\r\n");
    });
    server.Start();
    htsPlugin plugin(kTag, {});

    for (const char *path : { "/length", "/chunked" }) {
        SCOPED_TRACE(path);
        htsChannelConfig channel = MakeChannel("big", server.Url(path));
        plugin.PostPayload(channel, MakePayload("{}"));
        EXPECT_EQ(log.Lines(), Lines());
        ASSERT_EQ(plugin.response.size(), static_cast<size_t>(64 * 1024));
        EXPECT_TRUE(plugin.response == block.substr(0, 64 * 1024));
        EXPECT_LE(plugin.response.capacity(), static_cast<size_t>(4 * 64 * 1024));

        htsChannelConfig small = MakeChannel("small", server.Url("/small"));
        plugin.PostPayload(small, MakePayload("{}"));
        EXPECT_EQ(plugin.response, "ok");
    }
    EXPECT_EQ(server.Connections(), 1u);
    EXPECT_EQ(log.Lines(), Lines());
}

// --- Stopping -------------------------------------------------------------------------

// The agent's stop request reaches a post that waits on a silent server
// long before the channel's time limit would.
TEST_F(Poster, TerminateAbortsAPostInProgress)
{
    RawHttpServer server;
    server.SetResponder([](RawHttpServer::Connection &, const RawHttpServer::Request &) { });
    server.Start();
    htsPlugin plugin(kTag, {});
    htsChannelConfig channel = MakeChannel("slow", server.Url("/never"));
    channel.timeout_transfer = 30;

    std::chrono::steady_clock::time_point asked;
    std::thread agent([&] {
        server.WaitForRequests(1); // stop anyway if it never arrives
        asked = std::chrono::steady_clock::now();
        plugin.Terminate();
    });
    plugin.PostPayload(channel, MakePayload("{}"));
    auto returned = std::chrono::steady_clock::now();
    agent.join();

    EXPECT_EQ(server.RequestCount(), 1u);
    EXPECT_TRUE(OnlyFailedPost(log.Lines(), kTag, channel, CURLE_ABORTED_BY_CALLBACK));
    EXPECT_LT(returned - asked, 10s) << "the post waited for its time limit instead";
}

// --- Handle creation -------------------------------------------------------------------

// The handle is stored before the global configuration is read, so a
// missing configuration leaves it in place and a later post uses it.
TEST(PosterHandle, MissingGlobalConfigurationThrowsAfterTheHandleIsMade)
{
    LogCapture log(false);
    HttpServer server;
    server.Start();
    htsPlugin plugin(kTag, {});
    htsChannelConfig channel = MakeChannel("c", server.Url());

    try {
        plugin.PostPayload(channel, MakePayload("{}"));
        ADD_FAILURE() << "no exception";
    }
    catch (const vxException &e) {
        EXPECT_STREQ(e.what(), "static vxGlobalConfig &vxGlobalConfig::GetInstance(): instance not found");
    }
    EXPECT_NE(plugin.curl_handle, nullptr);
    EXPECT_EQ(server.RequestCount(), 0u);

    GlobalConfigScope global;
    plugin.PostPayload(channel, MakePayload("{}"));
    EXPECT_EQ(server.RequestCount(), 1u);
    EXPECT_EQ(log.Lines(), Lines());
}

// Several instances make their first transfer at the same moment, each on
// its own thread. Run in a fresh process, so libcurl's global set-up really
// happens here rather than in an earlier test.
void FirstPostsInParallel()
{
    LogCapture log(false);
    GlobalConfigScope global;
    HttpServer server;
    server.Start();

    const int n = 4;
    std::vector<std::unique_ptr<htsPlugin>> plugins;
    for (int i = 0; i < n; i++) plugins.push_back(std::make_unique<htsPlugin>("tag" + std::to_string(i), std::map<std::string, std::string>{}));

    std::latch start(n);
    std::vector<std::thread> threads;
    for (int i = 0; i < n; i++) {
        threads.emplace_back([&, i] {
            htsChannelConfig channel = MakeChannel("c", server.Url("/" + std::to_string(i)));
            start.arrive_and_wait();
            plugins[i]->PostPayload(channel, MakePayload(std::to_string(i)));
        });
    }
    for (auto &t : threads) t.join();

    ExitUnless(server.RequestCount() == n, "not every first post arrived");
    std::set<std::string> paths;
    for (const auto &r : server.Requests()) paths.insert(r.path + "=" + r.body);
    ExitUnless(paths == std::set<std::string>{ "/0=0", "/1=1", "/2=2", "/3=3" }, "posts mixed up");
    ExitUnless(log.Lines().empty(), "a first post failed");
    _exit(0);
}

TEST(PosterHandleDeathTest, FirstPostsOfSeveralInstancesAtOnce)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Silent standard error too: the child leaves by _exit, so a sanitizer
    // report would not change its exit code.
    EXPECT_EXIT(FirstPostsInParallel(), testing::ExitedWithCode(0), "^$");
}

// --- Debug trace ----------------------------------------------------------------------

struct TraceCase {
    const char *name;
    bool at_creation; // DEBUG_CURL when the handle is made
    bool at_post;     // DEBUG_CURL during the traced post
    bool traced;
};

void PrintTo(const TraceCase &c, std::ostream *os) { *os << c.name; }

class DebugTrace : public testing::TestWithParam<TraceCase> { };

// Whether a handle traces is settled when it is made; afterwards the switch
// can only silence the trace, not start it.
TEST_P(DebugTrace, HeadersAndByteCounts)
{
    const auto &c = GetParam();
    LogCapture log(true);
    GlobalConfigScope global;
    RawHttpServer server;
    server.SetResponder([](RawHttpServer::Connection &conn, const RawHttpServer::Request &) {
        conn.Write(RawHttpServer::Ok("ok"));
    });
    server.Start();
    htsPlugin plugin(kTag, {});
    htsChannelConfig channel = MakeChannel("c", server.Url("/d"));

    if (c.at_creation) global.config.flags.Set(vxGlobalConfig::DEBUG_CURL);
    plugin.PostPayload(channel, MakePayload("first"));
    if (c.at_post)
        global.config.flags.Set(vxGlobalConfig::DEBUG_CURL);
    else
        global.config.flags.Clear(vxGlobalConfig::DEBUG_CURL);
    log.Clear();
    plugin.PostPayload(channel, MakePayload("hello"));
    ASSERT_EQ(server.RequestCount(), 2u);

    Lines lines = log.Lines();
    if (!c.traced) {
        EXPECT_EQ(lines, Lines());
        return;
    }
    auto starting = [&](const std::string &prefix) {
        return std::count_if(lines.begin(), lines.end(),
            [&](const std::string &l) { return l.rfind(prefix, 0) == 0; });
    };
    // The request head goes out as one block, the answer's lines one by one.
    EXPECT_EQ(starting("tag: --> POST /d HTTP/1.1\r\nHost: 127.0.0.1:"), 1) << log.Text();
    EXPECT_TRUE(HasLine(lines, "tag: <-- HTTP/1.1 200 OK\r\n")) << log.Text();
    EXPECT_TRUE(HasLine(lines, "tag: <-- Content-Length: 2\r\n")) << log.Text();
    EXPECT_TRUE(HasLine(lines, "tag: --> 5 data bytes\n")) << log.Text();
    EXPECT_TRUE(HasLine(lines, "tag: <-- 2 data bytes\n")) << log.Text();
    EXPECT_GE(starting("tag: Re-using existing connection"), 1) << log.Text();
}

INSTANTIATE_TEST_SUITE_P(Switch, DebugTrace,
    testing::Values(TraceCase{ "on", true, true, true }, TraceCase{ "off", false, false, false },
        TraceCase{ "switched_on_later", false, true, false }, TraceCase{ "switched_off_later", true, false, false }),
    [](const testing::TestParamInfo<TraceCase> &info) { return info.param.name; });

TEST(DebugTraceTls, CountsEncryptedBytesBothWays)
{
    LogCapture log(true);
    GlobalConfigScope global;
    global.config.flags.Set(vxGlobalConfig::DEBUG_CURL);
    HttpServer server(true);
    server.Start();
    htsPlugin plugin(kTag, {});
    htsChannelConfig channel = MakeChannel("c", server.Url("/tls"));
    channel.tls_verify = false;

    plugin.PostPayload(channel, MakePayload("{}"));
    ASSERT_EQ(server.RequestCount(), 1u);
    Lines lines = log.Lines();
    for (const char *direction : { "tag: --> ", "tag: <-- " }) {
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
            [&](const auto &l) { return MatchesAroundNumber(l, direction, " SSL bytes\n"); }))
            << direction << log.Text();
    }
    EXPECT_TRUE(HasLine(lines, "tag: --> 2 data bytes\n")) << log.Text();
}

} // namespace
