// vxsink run as operators run it: a separate process loading the built
// plug-in, fed from files or a pipe, posting to loopback servers.
#include <signal.h>

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "child_process.h"
#include "loopback_server.h"
#include "test_support.h"

#ifdef VX_VXSINK_PATH

using namespace std::chrono_literals;

namespace {

std::string Gunzip(const std::string &in)
{
    z_stream s{};
    if (inflateInit2(&s, 15 + 16) != Z_OK) return "<inflateInit2 failed>";
    std::string out;
    char buffer[16384];
    s.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data()));
    s.avail_in = static_cast<uInt>(in.size());
    int rc;
    do {
        s.next_out = reinterpret_cast<Bytef *>(buffer);
        s.avail_out = sizeof(buffer);
        rc = inflate(&s, Z_NO_FLUSH);
        out.append(buffer, sizeof(buffer) - s.avail_out);
    } while (rc == Z_OK);
    inflateEnd(&s);
    return rc == Z_STREAM_END && s.avail_in == 0 ? out : "<not a whole gzip stream>";
}

std::string Channel(const std::string &name, const std::string &url)
{
    return "\"" + name + "\": { \"url\": \"" + url + "\" }";
}

class Vxsink : public testing::Test
{
protected:
    std::string Config(const std::string &channels, const std::string &top = "")
    {
        return dir.Write("sink.json", "// written by the test\n{ " + top + "\"channels\": { " + channels + " } }");
    }

    // vxsink with the built plug-in, the configuration and `args`.
    std::vector<std::string> Command(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv = { VX_VXSINK_PATH, "--plugin", VX_PLUGIN_PATH,
            "--config", (dir.Path() / "sink.json").string() };
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    vxtest::TempDir dir;
};

TEST_F(Vxsink, FilesAreOnePayloadEachWithTheAgentSettings)
{
    vxtest::HttpServer server;
    server.Start();
    Config(Channel("a", server.Url("/a/${uuid_site}")) + ", " +
        "\"b\": { \"url\": \"" + server.Url("/b") + "\", \"headers\": { \"X-Region\": \"${region}\" } }");
    std::string first = dir.Write("first.json", "{\"flow\": 1,\n \"bytes\": 1500}\n");
    std::string second = dir.Write("second.json", "[\"not\", \"checked\"]");

    vxtest::ChildProcess sink(Command({ "--channel", "b", "--channel", "a", "--var",
        "region=eu-west", "--uuid-site", "SITE-9", first, second }));
    sink.CloseInput();
    ASSERT_EQ(sink.Wait(), 0) << sink.Stderr();

    auto got = server.Requests();
    ASSERT_EQ(got.size(), 4u) << sink.Stderr();
    EXPECT_EQ(got[0].path, "/a/SITE-9");
    EXPECT_EQ(got[0].body, "{\"flow\": 1,\n \"bytes\": 1500}\n");
    EXPECT_EQ(got[1].path, "/b");
    EXPECT_EQ(got[1].Header("X-Region"), "eu-west");
    EXPECT_EQ(got[2].body, "[\"not\", \"checked\"]");
    EXPECT_EQ(got[3].path, "/b");
    for (const auto &r : got) EXPECT_EQ(r.Header("Content-Type"), "application/json");
    // Log lines as the plug-in writes them: its banner, tagged "http".
    EXPECT_EQ(sink.StderrCount("http: Vornix Agent HTTP Sink Plugin v1.2.5"), 1u) << sink.Stderr();
}

TEST_F(Vxsink, StandardInputLinesAreOnePayloadEach)
{
    vxtest::HttpServer server;
    server.Start();
    Config(Channel("a", server.Url("/a")));

    vxtest::ChildProcess sink(Command({ "--channel", "a", "--tag", "lines", "--debug" }));
    // Blank lines are skipped; CRLF endings and a last line without an end
    // still make whole payloads.
    sink.Write("{\"n\":1}\n\n   \n{\"n\":2}\r\n{\"n\":3}");
    sink.CloseInput();
    ASSERT_EQ(sink.Wait(), 0) << sink.Stderr();

    std::vector<std::string> bodies;
    for (const auto &r : server.Requests()) bodies.push_back(r.body);
    EXPECT_EQ(bodies, (std::vector<std::string>{ "{\"n\":1}", "{\"n\":2}", "{\"n\":3}" }));
    EXPECT_EQ(sink.StderrCount("lines: initialized\n"), 1u) << sink.Stderr();
    EXPECT_EQ(sink.StderrCount("lines: destroyed\n"), 1u) << sink.Stderr();
}

TEST_F(Vxsink, MsgpackConversionSkipsInputThatIsNotJson)
{
    vxtest::HttpServer server;
    server.Start();
    Config(Channel("a", server.Url("/a")));

    vxtest::ChildProcess sink(Command({ "--channel", "a", "--format", "msgpack" }));
    sink.Write("{\"flow\":{\"bytes\":1500,\"proto\":\"tcp\"}}\nnot json at all\n[1,2.5,null]\n");
    sink.CloseInput();
    EXPECT_EQ(sink.Wait(), 1);
    EXPECT_EQ(sink.StderrCount("vxsink: line 2: not JSON"), 1u) << sink.Stderr();

    auto got = server.Requests();
    ASSERT_EQ(got.size(), 2u) << sink.Stderr();
    EXPECT_EQ(got[0].Header("Content-Type"), "application/msgpack");
    EXPECT_EQ(nlohmann::json::from_msgpack(got[0].body),
        nlohmann::json::parse("{\"flow\":{\"bytes\":1500,\"proto\":\"tcp\"}}"));
    EXPECT_EQ(nlohmann::json::from_msgpack(got[1].body), nlohmann::json::parse("[1,2.5,null]"));
}

TEST_F(Vxsink, GzipBodiesDecompressToTheInput)
{
    // The raw server keeps the body as sent; the library server would undo
    // the compression before the test could see it.
    vxtest::RawHttpServer server;
    server.Start();
    Config(Channel("a", server.Url("/a")));
    std::string text(3000, 'x');
    for (size_t i = 0; i < text.size(); i += 7) text[i] = static_cast<char>('a' + i % 26);
    text = "{\"pad\":\"" + text + "\"}";
    std::string file = dir.Write("big.json", text);

    vxtest::ChildProcess sink(Command({ "--channel", "a", "--gzip", file }));
    sink.CloseInput();
    ASSERT_EQ(sink.Wait(), 0) << sink.Stderr();

    auto got = server.Requests();
    ASSERT_EQ(got.size(), 1u);
    auto lines = got[0].HeaderLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Content-Encoding: gzip"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Content-Type: application/json"), lines.end());
    EXPECT_LT(got[0].body.size(), text.size());
    EXPECT_EQ(Gunzip(got[0].body), text);
}

TEST_F(Vxsink, HangupReloadsTheConfiguration)
{
    vxtest::HttpServer before, after;
    before.Start();
    after.Start();
    Config(Channel("a", before.Url("/before")));

    vxtest::ChildProcess sink(Command({ "--channel", "a", "--debug" }));
    ASSERT_TRUE(sink.Write("{\"n\":1}\n"));
    ASSERT_TRUE(before.WaitForRequests(1)) << sink.Stderr();

    Config(Channel("a", after.Url("/after")));
    sink.Signal(SIGHUP);
    // The reload runs on the plug-in's next pass; wait for it before the
    // next line, which would otherwise rightly go to the old URL.
    ASSERT_TRUE(sink.WaitForStderr("Loading configuration", 2)) << sink.Stderr();
    ASSERT_TRUE(sink.Write("{\"n\":2}\n"));
    ASSERT_TRUE(after.WaitForRequests(1)) << sink.Stderr();
    sink.CloseInput();
    ASSERT_EQ(sink.Wait(), 0) << sink.Stderr();

    EXPECT_EQ(before.RequestCount(), 1u);
    ASSERT_EQ(after.RequestCount(), 1u);
    EXPECT_EQ(after.Requests()[0].path, "/after");
    EXPECT_EQ(after.Requests()[0].body, "{\"n\":2}");
}

TEST_F(Vxsink, EndOfInputWaitsForThePostInProgress)
{
    std::promise<void> answer;
    std::shared_future<void> answered = answer.get_future().share();
    vxtest::RawHttpServer server;
    server.SetResponder([answered](vxtest::RawHttpServer::Connection &c,
                            const vxtest::RawHttpServer::Request &) {
        if (answered.wait_for(20s) == std::future_status::ready) c.Write(vxtest::RawHttpServer::Ok());
    });
    server.Start();
    Config(Channel("a", server.Url("/a")));
    std::string file = dir.Write("one.json", "{}");

    vxtest::ChildProcess sink(Command({ "--channel", "a", file }));
    sink.CloseInput();
    ASSERT_TRUE(server.WaitForRequests(1));
    // All input is queued and read; the answer is still outstanding.
    EXPECT_FALSE(vxtest::WaitUntil([&] { return !sink.Running(); }, 300ms));
    answer.set_value();
    ASSERT_EQ(sink.Wait(), 0) << sink.Stderr();
    // Neither an abort nor any other delivery failure was logged.
    EXPECT_EQ(sink.StderrCount("http: a: "), 0u) << sink.Stderr();
}

TEST_F(Vxsink, TerminateDuringASlowPostExitsPromptly)
{
    vxtest::RawHttpServer server;
    server.SetResponder([](vxtest::RawHttpServer::Connection &, const vxtest::RawHttpServer::Request &) {
        // Never answers: only the 60 s transfer limit would end the post.
    });
    server.Start();
    Config(Channel("slow", server.Url("/slow")), "\"timeout_transfer\": 60, ");

    for (int sig : { SIGTERM, SIGINT }) {
        SCOPED_TRACE(sig);
        vxtest::ChildProcess sink(Command({ "--channel", "slow" }));
        ASSERT_TRUE(sink.Write("{\"first\":1}\n"));
        ASSERT_TRUE(server.WaitForRequests(sig == SIGTERM ? 1 : 2));
        // Standard input stays open: the signal alone must end it.
        auto start = std::chrono::steady_clock::now();
        sink.Signal(sig);
        EXPECT_EQ(sink.Wait(10s), 128 + sig) << sink.Stderr();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
        // The plug-in's own line for the aborted transfer.
        EXPECT_EQ(sink.StderrCount("http: slow: " + server.Url("/slow") + ": "), 1u) << sink.Stderr();
        EXPECT_EQ(sink.StderrCount(" [42]\n"), 1u) << sink.Stderr();
    }
}

struct RefusalCase {
    const char *name;
    std::string plugin;
    std::string message;
};

void PrintTo(const RefusalCase &c, std::ostream *os) { *os << c.name; }

class VxsinkRefuses : public testing::TestWithParam<RefusalCase> { };

TEST_P(VxsinkRefuses, LibrariesThatAreNotAPlugin)
{
    const auto &c = GetParam();
    vxtest::TempDir dir;
    vxtest::HttpServer server;
    server.Start();
    std::string conf = dir.Write("sink.json", "{ \"channels\": { " + Channel("a", server.Url("/a")) + " } }");
    std::string text_file = dir.Write("plugin.so", "not a library\n");
    std::string plugin = c.plugin.empty() ? text_file : c.plugin;

    vxtest::ChildProcess sink({ VX_VXSINK_PATH, "--plugin", plugin, "--config", conf,
        "--channel", "a" });
    sink.Write("{}\n");
    sink.CloseInput();
    auto status = sink.Wait();
    ASSERT_TRUE(status.has_value());
    EXPECT_NE(*status, 0);
    EXPECT_EQ(sink.StderrCount("vxsink: " + plugin + ": " + c.message), 1u) << sink.Stderr();
    EXPECT_EQ(sink.StderrCount("initialized"), 0u) << sink.Stderr();
    EXPECT_EQ(server.RequestCount(), 0u);
}

std::string Bad(const char *name)
{
    return std::string(VX_BAD_PLUGIN_DIR) + "/libvx_bad_plugin_" + name + ".so";
}

INSTANTIATE_TEST_SUITE_P(Cases, VxsinkRefuses,
    testing::Values(RefusalCase{ "text_file", "", "cannot load plug-in: " },
        RefusalCase{ "missing_file", "/nonexistent/libvornix-sink-http.so.0", "cannot load plug-in: " },
        RefusalCase{ "agent_library", VX_HOST_LIBRARY_PATH, "not a plug-in: no vx_plugin_abi record" },
        RefusalCase{ "magic", Bad("magic"), "refused: ABI record magic is 0x56584141, expected \"BAXV\"" },
        RefusalCase{ "size", Bad("size"), "refused: ABI record size is 28, expected 32" },
        RefusalCase{ "abi", Bad("abi"), "refused: built for agent ABI 24, this host has 25" },
        RefusalCase{ "interface", Bad("interface"), "refused: plug-in interface 0x20230308, this host has 0x20230309" },
        RefusalCase{ "short_record", Bad("short"), "refused: ABI record is 16 bytes, expected 32" },
        RefusalCase{ "no_factory", Bad("nofactory"), "not a plug-in: no vxPluginInit factory" },
        RefusalCase{ "null_factory", Bad("nullfactory"), "factory refused to create instance 'http'" }),
    [](const testing::TestParamInfo<RefusalCase> &info) { return std::string(info.param.name); });

TEST(VxsinkUsage, MissingOrWrongArgumentsAreUsageErrors)
{
    const std::vector<std::vector<std::string>> cases = {
        { "--config", "x.json", "--channel", "a" },
        { "--plugin", VX_PLUGIN_PATH, "--channel", "a" },
        { "--plugin", VX_PLUGIN_PATH, "--config", "x.json" },
        { "--plugin", VX_PLUGIN_PATH, "--config", "x.json", "--channel", "a", "--format", "xml" },
        { "--plugin", VX_PLUGIN_PATH, "--config", "x.json", "--channel", "a", "--var", "novalue" },
        { "--plugin", VX_PLUGIN_PATH, "--config", "x.json", "--channel", "a", "--bogus" },
    };
    for (const auto &args : cases) {
        std::vector<std::string> argv = { VX_VXSINK_PATH };
        argv.insert(argv.end(), args.begin(), args.end());
        vxtest::ChildProcess sink(argv);
        sink.CloseInput();
        EXPECT_EQ(sink.Wait(), 2) << args.back() << "\n" << sink.Stderr();
        EXPECT_EQ(sink.StderrCount("initialized"), 0u);
    }
    vxtest::ChildProcess help({ VX_VXSINK_PATH, "--help" });
    EXPECT_EQ(help.Wait(), 0);
}

} // namespace

#endif
