// Header lists: what a channel record builds for a payload's flags, how the
// two cached lists are reused, and the header block a server really receives.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include <gtest/gtest.h>

#include "delivery_support.h"
#include "loopback_server.h"
#include "plugin/hts_plugin.h"
#include "test_support.h"
#include "vxutils.h"

namespace {

using namespace vxtest;
using json = nlohmann::json;
using Lines = std::vector<std::string>;

const uint32_t kJson = vxPlugin::FORMAT_JSON;
const uint32_t kMsgpack = vxPlugin::FORMAT_MSGPACK;
const uint32_t kGzip = vxPlugin::COMPRESS_GZIP;

std::string AgentLine() { return "User-Agent: " + vx_get_version_and_features(false); }

Lines Concat(Lines a, const Lines &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// What libcurl itself puts before the plug-in's lines for a POST to `server`.
Lines LibcurlHead(const RawHttpServer &server)
{
    return { "Host: 127.0.0.1:" + std::to_string(server.Port()), "Accept: */*", "Accept-Encoding: gzip" };
}

// --- The header block for every combination of format and compression ------

struct FormatCase {
    const char *name;
    uint32_t flags;
    const char *content_type; // nullptr: no Content-Type is sent
};

void PrintTo(const FormatCase &c, std::ostream *os) { *os << c.name; }

class HeaderBlock : public testing::TestWithParam<FormatCase> { };

TEST_P(HeaderBlock, BuiltInLinesThenConfiguredOnesInNameOrder)
{
    const auto &c = GetParam();
    LogCapture log(false);
    GlobalConfigScope global;
    RawHttpServer server;
    server.Start();
    htsPlugin plugin("tag", {});

    htsChannelConfig channel = MakeChannel("c", server.Url("/ingest"));
    channel.headers = { { "X-Site", "site-7" }, { "Authorization", "Bearer k" } };

    Lines list;
    if (c.flags & kGzip) list.push_back("Content-Encoding: gzip");
    // Without a format the list carries libcurl's directive that drops its
    // own form content type; the directive itself never goes on the wire.
    list.push_back(c.content_type != nullptr ? std::string("Content-Type: ") + c.content_type
                                             : std::string("Content-Type:"));
    list.push_back(AgentLine());
    list.push_back("Authorization: Bearer k");
    list.push_back("X-Site: site-7");
    Lines wire;
    for (const auto &line : list)
        if (line != "Content-Type:") wire.push_back(line);

    EXPECT_EQ(ListLines(channel.GetHeaders(vxFlags<vxPlugin::DispatchFlags>(c.flags))), list);

    plugin.PostPayload(channel, MakePayload("{\"a\":1}", c.flags));
    ASSERT_EQ(server.RequestCount(), 1u);
    auto request = server.Requests()[0];
    EXPECT_EQ(request.head.substr(0, request.head.find("\r\n")), "POST /ingest HTTP/1.1");

    Lines tail = { "Content-Length: 7" };
    EXPECT_EQ(request.HeaderLines(), Concat(Concat(LibcurlHead(server), wire), tail));
    EXPECT_EQ(log.Lines(), Lines());
}

INSTANTIATE_TEST_SUITE_P(Formats, HeaderBlock,
    testing::Values(FormatCase{ "json", kJson, "application/json" },
        FormatCase{ "msgpack", kMsgpack, "application/msgpack" },
        FormatCase{ "both_json_wins", kJson | kMsgpack, "application/json" },
        FormatCase{ "neither", 0, nullptr },
        FormatCase{ "gzip_json", kGzip | kJson, "application/json" },
        FormatCase{ "gzip_msgpack", kGzip | kMsgpack, "application/msgpack" },
        FormatCase{ "gzip_both_json_wins", kGzip | kJson | kMsgpack, "application/json" },
        FormatCase{ "gzip_neither", kGzip, nullptr }),
    [](const testing::TestParamInfo<FormatCase> &info) { return info.param.name; });

// --- Caching -----------------------------------------------------------------

// The slot is picked by compression alone, so a channel keeps the content
// type of the first payload that built each list.
TEST(HeaderCache, OneListPerCompressionReusedWhateverTheFormat)
{
    LogCapture log(false);
    GlobalConfigScope global;
    RawHttpServer server;
    server.Start();
    htsPlugin plugin("tag", {});
    htsChannelConfig channel = MakeChannel("c", server.Url());
    channel.headers = { { "X-Site", "site-7" } };
    const auto headers_before = channel.headers;

    plugin.PostPayload(channel, MakePayload("1", kJson));
    curl_slist *plain = channel.header_list.get();
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(channel.header_list_gz.get(), nullptr);

    plugin.PostPayload(channel, MakePayload("2", kMsgpack));
    EXPECT_EQ(channel.GetHeaders(vxFlags<vxPlugin::DispatchFlags>(kMsgpack)), plain);

    plugin.PostPayload(channel, MakePayload("3", kGzip | kMsgpack));
    curl_slist *gz = channel.header_list_gz.get();
    ASSERT_NE(gz, nullptr);
    EXPECT_NE(gz, plain);
    plugin.PostPayload(channel, MakePayload("4", kGzip | kJson));
    EXPECT_EQ(channel.GetHeaders(vxFlags<vxPlugin::DispatchFlags>(kGzip | kJson)), gz);
    EXPECT_EQ(channel.GetHeaders(vxFlags<vxPlugin::DispatchFlags>(0)), plain);

    const Lines plain_lines = { "Content-Type: application/json", AgentLine(), "X-Site: site-7" };
    const Lines gz_lines = { "Content-Encoding: gzip", "Content-Type: application/msgpack", AgentLine(),
        "X-Site: site-7" };
    const Lines tail = { "Content-Length: 1" };
    ASSERT_EQ(server.RequestCount(), 4u);
    auto requests = server.Requests();
    EXPECT_EQ(requests[0].HeaderLines(), Concat(Concat(LibcurlHead(server), plain_lines), tail));
    EXPECT_EQ(requests[1].HeaderLines(), requests[0].HeaderLines()) << "msgpack body still announced as json";
    EXPECT_EQ(requests[2].HeaderLines(), Concat(Concat(LibcurlHead(server), gz_lines), tail));
    EXPECT_EQ(requests[3].HeaderLines(), requests[2].HeaderLines()) << "json body still announced as msgpack";
    EXPECT_EQ(channel.headers, headers_before);
    EXPECT_EQ(log.Lines(), Lines());
}

// --- Configured headers --------------------------------------------------------

// Configured names that collide with built-in lines are sent as extra lines;
// an empty value, stored as "-" by the loader, goes out as "-".
TEST(ConfiguredHeaders, AppendedAfterBuiltInLinesNotMerged)
{
    LogCapture log(false);
    GlobalConfigScope global;
    RawHttpServer server;
    server.Start();
    htsPlugin plugin("tag", {});

    std::map<std::string, std::string> vars = { { "${none}", "" } };
    htsChannelConfig channel;
    channel.Load(vars, "c",
        json{ { "url", server.Url() },
            { "headers",
                { { "User-Agent", "collector/2" }, { "Content-Type", "text/plain" }, { "X-Empty", "${none}" },
                    { "X-Dash", "-" } } } });

    const Lines list = { "Content-Type: application/json", AgentLine(), "Content-Type: text/plain",
        "User-Agent: collector/2", "X-Dash: -", "X-Empty: -" };
    EXPECT_EQ(ListLines(channel.GetHeaders(vxFlags<vxPlugin::DispatchFlags>(kJson))), list);

    plugin.PostPayload(channel, MakePayload("{}", kJson));
    ASSERT_EQ(server.RequestCount(), 1u);
    // With a Content-Type of ours present, libcurl adds none of its own.
    EXPECT_EQ(server.Requests()[0].HeaderLines(),
        Concat(Concat(LibcurlHead(server), list), { "Content-Length: 2" }));
    EXPECT_EQ(log.Lines(), Lines());
}

// Without a format bit a configured Content-Type is the only one sent: the
// list's drop directive removes libcurl's form type, not the operator's.
TEST(ConfiguredHeaders, OperatorContentTypeSurvivesAnUnknownFormat)
{
    LogCapture log(false);
    GlobalConfigScope global;
    RawHttpServer server;
    server.Start();
    htsPlugin plugin("tag", {});
    std::map<std::string, std::string> vars;
    htsChannelConfig channel;
    channel.Load(vars, "c", json{ { "url", server.Url() }, { "headers", { { "Content-Type", "text/csv" } } } });

    plugin.PostPayload(channel, MakePayload("a,b", 0));
    ASSERT_EQ(server.RequestCount(), 1u);
    EXPECT_EQ(server.Requests()[0].HeaderLines(),
        Concat(Concat(LibcurlHead(server), { AgentLine(), "Content-Type: text/csv" }), { "Content-Length: 3" }));
    EXPECT_EQ(log.Lines(), Lines());
}

// --- A list that cannot be built ------------------------------------------------

// libcurl's allocator hooks stand in for memory running out: its strdup
// refuses the copy of one configured line and tracks the copies of the
// others, so the test can see whether a half-built list is freed.
namespace refusing_allocator {

std::mutex lock;
std::set<void *> live_lines;

bool IsListLine(const char *s)
{
    return strncmp(s, "Content-", 8) == 0 || strncmp(s, "User-Agent: ", 12) == 0 ||
        strncmp(s, "A-First: ", 9) == 0;
}

void *Malloc(size_t n) { return malloc(n); }
void *Calloc(size_t n, size_t size) { return calloc(n, size); }
void *Realloc(void *p, size_t n) { return realloc(p, n); }

void Free(void *p)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        live_lines.erase(p);
    }
    free(p);
}

char *Strdup(const char *s)
{
    if (strncmp(s, "X-Refused: ", 11) == 0) return nullptr;
    char *copy = strdup(s);
    if (copy != nullptr && IsListLine(s)) {
        std::lock_guard<std::mutex> guard(lock);
        live_lines.insert(copy);
    }
    return copy;
}

size_t Live()
{
    std::lock_guard<std::mutex> guard(lock);
    return live_lines.size();
}

} // namespace refusing_allocator

// Runs in a fresh process (libcurl's allocator can be chosen only before its
// first use), which exits 0 when every check held.
void RefusedLineSkipsThePost()
{
    namespace ra = refusing_allocator;
    ExitUnless(curl_global_init_mem(CURL_GLOBAL_DEFAULT, ra::Malloc, ra::Free, ra::Realloc, ra::Strdup,
                ra::Calloc) == CURLE_OK,
        "allocator hooks refused");

    LogCapture log(false);
    GlobalConfigScope global;
    RawHttpServer server;
    server.Start();
    htsPlugin plugin("tag", {});
    htsChannelConfig channel = MakeChannel("c", server.Url());
    channel.headers = { { "A-First", "1" }, { "X-Refused", "yes" } };

    for (uint32_t flags : { kJson, kGzip | kJson }) {
        ExitUnless(channel.GetHeaders(vxFlags<vxPlugin::DispatchFlags>(flags)) == nullptr, "list reported built");
        ExitUnless(!channel.header_list && !channel.header_list_gz, "slot filled");
        ExitUnless(ra::Live() == 0, "half-built list not freed");
    }

    plugin.PostPayload(channel, MakePayload("{}", kJson));
    ExitUnless(log.Lines() == Lines{ "tag: c: " + channel.url + ": unable to build header list, payload not sent\n" },
        "failure not logged as expected");
    ExitUnless(server.Connections() == 0, "payload sent without its headers");

    // Nothing is cached from the failure: the next post builds afresh.
    channel.headers.erase("X-Refused");
    plugin.PostPayload(channel, MakePayload("{}", kJson));
    ExitUnless(server.WaitForRequests(1), "payload not delivered after the fault cleared");
    ExitUnless(ra::Live() == 3, "list not built from three lines");
    _exit(0);
}

TEST(HeaderListDeathTest, RefusedLineFreesTheListAndSkipsThePost)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Silent standard error too: the child leaves by _exit, so a sanitizer
    // report would not change its exit code.
    EXPECT_EXIT(RefusedLineSkipsThePost(), testing::ExitedWithCode(0), "^$");
}

} // namespace
