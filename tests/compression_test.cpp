// Channel compression: the two keys as the loader takes or refuses them, the
// copies of a payload made once per encoding and level, and bodies that
// real collectors decode back to the originals in both delivery modes (a
// decoding collector of our own in Python, VictoriaMetrics for gzip); a body
// the agent compressed goes out untouched.
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "child_process.h"
#include "config/config_loader.h"
#include "delivery/body_compression.h"
#include "delivery_support.h"
#include "running_plugin.h"
#include "test_support.h"
#include "vxexception.h"

using namespace vxtest;
using namespace std::chrono_literals;

namespace {

// ---- the keys ----

struct KeyCase {
    const char *name;
    const char *text;
    // Null when the file loads; the load's text otherwise.
    const char *refusal;
    htsCompression compression = htsCompression::None;
    // The level channel "c" compresses at.
    uint32_t level = 0;
};

void PrintTo(const KeyCase &c, std::ostream *os) { *os << c.name; }

class CompressionConfig : public testing::TestWithParam<KeyCase> { };

TEST_P(CompressionConfig, LoadsOrFailsWithItsLine)
{
    const KeyCase &c = GetParam();
    std::istringstream in(c.text);
    htsExpansionVariables vars{ { "${enc}", "zstd" }, { "${odd}", "lz4" } };
    if (c.refusal != nullptr) {
        try {
            htsReadConfiguration("cmp", "sink.json", in, vars);
            FAIL() << "loaded: " << c.text;
        }
        catch (const vxException &e) {
            EXPECT_EQ(std::string(e.what()), c.refusal);
        }
        return;
    }
    const htsConfiguration config = htsReadConfiguration("cmp", "sink.json", in, vars);
    const htsChannelConfig &channel = config.channels.at("c");
    EXPECT_EQ(channel.compression, c.compression);
    EXPECT_EQ(channel.CompressionLevel(), c.level);
}

INSTANTIATE_TEST_SUITE_P(Values, CompressionConfig,
    testing::Values(
        KeyCase{ "absent", R"({"channels":{"c":{"url":"u"}}})", nullptr, htsCompression::None, 0 },
        KeyCase{ "none", R"({"channels":{"c":{"url":"u","compression":"none"}}})", nullptr, htsCompression::None, 0 },
        KeyCase{ "gzip_default", R"({"channels":{"c":{"url":"u","compression":"gzip"}}})", nullptr,
            htsCompression::Gzip, 6 },
        KeyCase{ "zstd_default", R"({"channels":{"c":{"url":"u","compression":"zstd"}}})", nullptr,
            htsCompression::Zstd, 3 },
        KeyCase{ "gzip_bounds", R"({"compression_level":9,"channels":{"c":{"url":"u","compression":"gzip"}}})",
            nullptr, htsCompression::Gzip, 9 },
        KeyCase{ "zstd_highest", R"({"channels":{"c":{"url":"u","compression":"zstd","compression_level":19}}})",
            nullptr, htsCompression::Zstd, 19 },
        KeyCase{ "zero_is_the_default",
            R"({"compression_level":4,"channels":{"c":{"url":"u","compression":"gzip","compression_level":0}}})",
            nullptr, htsCompression::Gzip, 6 },
        KeyCase{ "inherited_both", R"({"compression":"zstd","compression_level":12,"channels":{"c":{"url":"u"}}})",
            nullptr, htsCompression::Zstd, 12 },
        KeyCase{ "channel_turns_it_off",
            R"({"compression":"zstd","compression_level":12,"channels":{"c":{"url":"u","compression":"none"}}})",
            nullptr, htsCompression::None, 12 },
        KeyCase{ "variable", R"({"channels":{"c":{"url":"u","compression":"${enc}"}}})", nullptr,
            htsCompression::Zstd, 3 },
        KeyCase{ "unknown_encoding", R"({"channels":{"c":{"url":"u","compression":"brotli"}}})",
            "cmp: invalid value for compression: \"brotli\"" },
        KeyCase{ "case_matters", R"({"compression":"GZIP"})", "cmp: invalid value for compression: \"GZIP\"" },
        KeyCase{ "variable_to_unknown", R"({"channels":{"c":{"url":"u","compression":"${odd}"}}})",
            "cmp: invalid value for compression: \"${odd}\"" },
        KeyCase{ "encoding_not_text", R"({"channels":{"c":{"url":"u","compression":true}}})",
            "cmp: invalid value for compression: true" },
        KeyCase{ "encoding_null", R"({"compression":null})", "cmp: invalid value for compression: null" },
        KeyCase{ "level_text", R"({"channels":{"c":{"url":"u","compression_level":"5"}}})",
            "cmp: invalid value for compression_level: \"5\"" },
        KeyCase{ "level_negative", R"({"compression_level":-1})", "cmp: invalid value for compression_level: -1" },
        KeyCase{ "level_fraction", R"({"channels":{"c":{"url":"u","compression_level":2.5}}})",
            "cmp: invalid value for compression_level: 2.5" },
        KeyCase{ "level_above_all", R"({"channels":{"c":{"url":"u","compression":"zstd","compression_level":20}}})",
            "cmp: invalid value for compression_level: 20" },
        KeyCase{ "level_above_gzip", R"({"channels":{"c":{"url":"u","compression":"gzip","compression_level":10}}})",
            "cmp: c: invalid value for compression_level: 10 (gzip takes 1 to 9)" },
        KeyCase{ "inherited_level_above_gzip",
            R"({"compression_level":12,"channels":{"a":{"url":"u","compression":"zstd"},"c":{"url":"u","compression":"gzip"}}})",
            "cmp: c: invalid value for compression_level: 12 (gzip takes 1 to 9)" }),
    [](const testing::TestParamInfo<KeyCase> &info) { return std::string(info.param.name); });

// ---- decoding helpers, independent of the unit under test ----

std::string Gunzip(const std::vector<uint8_t> &bytes)
{
    z_stream s{};
    EXPECT_EQ(inflateInit2(&s, 15 + 16), Z_OK);
    std::string out(1 << 20, '\0');
    s.next_in = const_cast<Bytef *>(bytes.data());
    s.avail_in = static_cast<uInt>(bytes.size());
    s.next_out = reinterpret_cast<Bytef *>(out.data());
    s.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&s, Z_FINISH);
    out.resize(s.total_out);
    inflateEnd(&s);
    return rc == Z_STREAM_END ? out : "<not gzip>";
}

std::string Unzstd(const std::vector<uint8_t> &bytes)
{
    std::string out(1 << 20, '\0');
    const size_t n = ZSTD_decompress(out.data(), out.size(), bytes.data(), bytes.size());
    if (ZSTD_isError(n)) return "<not zstd>";
    out.resize(n);
    return out;
}

std::string Gzip(const std::string &text)
{
    z_stream s{};
    EXPECT_EQ(deflateInit2(&s, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&s, text.size()), '\0');
    s.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(text.data()));
    s.avail_in = static_cast<uInt>(text.size());
    s.next_out = reinterpret_cast<Bytef *>(out.data());
    s.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

// A body of `size` bytes or so that begins with its id: random bytes as hex
// (compressible by half) and a run of one letter.
std::string Body(int id, size_t size)
{
    std::string hex;
    static const char digits[] = "0123456789abcdef";
    for (char byte : BinaryBytes(size / 4, static_cast<uint32_t>(id) + 7)) {
        hex.push_back(digits[static_cast<uint8_t>(byte) >> 4]);
        hex.push_back(digits[static_cast<uint8_t>(byte) & 15]);
    }
    return "{\"id\":" + std::to_string(id) + ",\"data\":\"" + hex + "\",\"fill\":\"" +
        std::string(size / 2, static_cast<char>('a' + id % 26)) + "\"}";
}

int IdOf(const std::string &body)
{
    if (body.rfind("{\"id\":", 0) != 0) return -1;
    return std::atoi(body.c_str() + 6);
}

// ---- one payload's copies ----

// Two channels at the same encoding and level get the very same copy; a
// level or an encoding of its own makes another, once; each decodes back.
TEST(CompressionCopies, MadeOncePerEncodingAndLevel)
{
    const std::string text = Body(3, 50000);
    auto payload = MakePayload(text);
    htsChannelConfig gzip_a = MakeChannel("a", "http://127.0.0.1:1/");
    gzip_a.compression = htsCompression::Gzip;
    htsChannelConfig gzip_b = gzip_a;
    gzip_b.channel = "b";
    gzip_b.compression_level = 6; // the default, named
    htsChannelConfig gzip_1 = gzip_a;
    gzip_1.compression_level = 1;
    htsChannelConfig zstd = gzip_a;
    zstd.compression = htsCompression::Zstd;
    htsChannelConfig plain = MakeChannel("p", "http://127.0.0.1:1/");

    htsBodyCompressor compressor;
    htsPayloadBodies bodies;
    const htsPostBody a = bodies.For("t", gzip_a, *payload, compressor);
    const htsPostBody b = bodies.For("t", gzip_b, *payload, compressor);
    const htsPostBody one = bodies.For("t", gzip_1, *payload, compressor);
    const htsPostBody z = bodies.For("t", zstd, *payload, compressor);
    const htsPostBody own = bodies.For("t", plain, *payload, compressor);
    EXPECT_EQ(a.data, b.data);
    EXPECT_EQ(a.length, b.length);
    EXPECT_NE(one.data, a.data);
    EXPECT_EQ(bodies.For("t", zstd, *payload, compressor).data, z.data);
    EXPECT_EQ(own.data, payload->data.get());
    EXPECT_EQ(own.applied, htsCompression::None);

    auto bytes = [](const htsPostBody &body) {
        const auto *p = static_cast<const uint8_t *>(body.data);
        return std::vector<uint8_t>(p, p + body.length);
    };
    EXPECT_EQ(a.applied, htsCompression::Gzip);
    EXPECT_EQ(z.applied, htsCompression::Zstd);
    EXPECT_EQ(Gunzip(bytes(a)), text);
    EXPECT_EQ(Gunzip(bytes(one)), text);
    EXPECT_EQ(Unzstd(bytes(z)), text);
    EXPECT_LT(a.length, text.size() / 2);

    // The agent's gzip is never compressed again, whatever the channel asks.
    auto flagged = MakePayload(Gzip(text), vxPlugin::FORMAT_JSON | vxPlugin::COMPRESS_GZIP);
    htsPayloadBodies flagged_bodies;
    const htsPostBody as_is = flagged_bodies.For("t", zstd, *flagged, compressor);
    EXPECT_EQ(as_is.data, flagged->data.get());
    EXPECT_EQ(as_is.applied, htsCompression::None);
}

// ---- real collectors ----

// What the decoding collector recorded of one request.
struct Received {
    std::string path;
    std::vector<std::string> encodings;
    std::string raw;
    std::string body;
    std::string error;
};

std::string FromHex(const std::string &hex)
{
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// The collector of tests/support/decoding_collector.py, on a loopback port.
class DecodingCollector
{
public:
    DecodingCollector()
        : process({ "/usr/bin/python3", VX_SOURCE_DIR "/tests/support/decoding_collector.py" })
    {
    }

    // False when it did not come up.
    bool Started()
    {
        if (!process.WaitForStderr("port ", 1, 20s)) return false;
        const std::string said = process.Stderr();
        port = std::stoi(said.substr(said.find("port ") + 5));
        return true;
    }
    std::string Url(const std::string &path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }
    // Each record's line ends with its "done": a count of them is a count
    // of whole lines.
    bool WaitFor(size_t requests) const { return process.WaitForStderr("\"done\": true}", requests, 60s); }
    std::string Said() const { return process.Stderr(); }

    std::vector<Received> Requests() const
    {
        std::vector<Received> found;
        std::istringstream lines(process.Stderr());
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("{", 0) != 0 || line.find("\"done\": true}") == std::string::npos) continue;
            const nlohmann::json j = nlohmann::json::parse(line);
            Received r;
            r.path = j["path"];
            r.encodings = j["encodings"].get<std::vector<std::string>>();
            r.raw = FromHex(j["raw"]);
            if (!j["body"].is_null()) r.body = FromHex(j["body"]);
            if (!j["error"].is_null()) r.error = j["error"];
            found.push_back(std::move(r));
        }
        return found;
    }

private:
    ChildProcess process;
    int port = 0;
};

bool HaveZstandard() { return std::system("/usr/bin/python3 -c 'import zstandard' >/dev/null 2>&1") == 0; }

std::string Mode(bool parallel) { return parallel ? R"("delivery": "parallel", "max_in_flight": 4, )" : ""; }

class CompressionDelivery : public PluginFixture<testing::TestWithParam<bool>> { };

// Bodies from a few bytes to a quarter of a MiB, at the default level and
// at one of the channel's own, all decode to what the agent queued, each
// once, with one Content-Encoding line.
TEST_P(CompressionDelivery, ZstdBodiesDecodeToTheOriginals)
{
    if (!HaveZstandard()) GTEST_SKIP() << "python3-zstandard not installed (scripts/setup installs it)";
    DecodingCollector collector;
    ASSERT_TRUE(collector.Started()) << collector.Said();
    RunningPlugin plugin("{ " + Mode(GetParam()) + R"("compression": "zstd", "channels": {
        "z": { "url": ")" + collector.Url("/z") + R"(" },
        "z7": { "url": ")" + collector.Url("/z7") + R"(", "compression_level": 7 } } })");
    plugin.Start();
    constexpr int payloads = 24;
    std::map<int, std::string> sent;
    for (int i = 0; i < payloads; i++) {
        sent[i] = Body(i, (static_cast<size_t>(i) * i * 997) % (256 * 1024));
        plugin.Queue(sent[i], { "z", "z7" }, i % 2 ? vxPlugin::FORMAT_JSON : vxPlugin::FORMAT_MSGPACK);
    }
    ASSERT_TRUE(collector.WaitFor(2 * payloads)) << collector.Said();
    plugin.Terminate();

    std::map<std::string, std::set<int>> seen;
    for (const Received &r : collector.Requests()) {
        SCOPED_TRACE(r.path);
        EXPECT_EQ(r.error, "");
        EXPECT_EQ(r.encodings, std::vector<std::string>{ "zstd" });
        const int id = IdOf(r.body);
        ASSERT_TRUE(sent.count(id)) << r.body.substr(0, 40);
        EXPECT_TRUE(r.body == sent[id]) << "payload " << id << " decoded to " << r.body.size() << " bytes";
        EXPECT_TRUE(seen[r.path].insert(id).second) << "payload " << id << " twice";
        if (sent[id].size() > 1000) {
            EXPECT_LT(r.raw.size(), sent[id].size() * 3 / 4);
        }
    }
    EXPECT_EQ(seen["/z"].size(), static_cast<size_t>(payloads));
    EXPECT_EQ(seen["/z7"].size(), static_cast<size_t>(payloads));
    EXPECT_EQ(log.Count("cannot compress"), 0u) << log.Text();
    EXPECT_EQ(log.Count("HTTP: "), 0u) << log.Text();
}

// Two gzip channels at one level, a zstd channel and one without the key,
// with a payload the agent gzipped among plain ones: every channel gets
// every body decodable to the original, the agent's gzip byte for byte with
// one Content-Encoding line, the plain channel the bodies as they were; the
// figures count the bytes sent.
TEST_P(CompressionDelivery, ChannelsShareCopiesAndAgentGzipPassesUntouched)
{
    if (!HaveZstandard()) GTEST_SKIP() << "python3-zstandard not installed (scripts/setup installs it)";
    DecodingCollector collector;
    ASSERT_TRUE(collector.Started()) << collector.Said();
    RunningPlugin plugin("{ " + Mode(GetParam()) + R"("compression_level": 4, "channels": {
        "a": { "url": ")" + collector.Url("/a") + R"(", "compression": "gzip" },
        "b": { "url": ")" + collector.Url("/b") + R"(", "compression": "gzip" },
        "p": { "url": ")" + collector.Url("/p") + R"(" },
        "z": { "url": ")" + collector.Url("/z") + R"(", "compression": "zstd" } } })");
    plugin.Start();
    constexpr int payloads = 8;
    constexpr int flagged_id = 5;
    std::map<int, std::string> sent;
    std::string flagged;
    for (int i = 0; i < payloads; i++) {
        sent[i] = Body(i, 2000 + static_cast<size_t>(i) * 5000);
        if (i == flagged_id) {
            flagged = Gzip(sent[i]);
            plugin.Queue(flagged, { "a", "b", "p", "z" }, vxPlugin::FORMAT_JSON | vxPlugin::COMPRESS_GZIP);
        }
        else
            plugin.Queue(sent[i], { "a", "b", "p", "z" });
    }
    ASSERT_TRUE(collector.WaitFor(4 * payloads)) << collector.Said();
    nlohmann::json status;
    ASSERT_TRUE(WaitUntil([&] {
        plugin.Sink().GetStatus(status);
        for (const char *c : { "a", "b", "p", "z" })
            if (status["channels"][c]["posts"] != payloads) return false;
        return true;
    }, 20s)) << status.dump();
    plugin.Terminate();

    const std::map<std::string, std::vector<std::string>> encoding_of = {
        { "/a", { "gzip" } }, { "/b", { "gzip" } }, { "/p", {} }, { "/z", { "zstd" } } };
    std::map<std::string, std::map<int, std::string>> raw_at;
    std::map<std::string, uint64_t> bytes_at;
    for (const Received &r : collector.Requests()) {
        SCOPED_TRACE(r.path);
        EXPECT_EQ(r.error, "");
        const int id = IdOf(r.body);
        ASSERT_TRUE(sent.count(id)) << r.body.substr(0, 40);
        EXPECT_TRUE(r.body == sent[id]) << "payload " << id;
        if (id == flagged_id) {
            EXPECT_EQ(r.encodings, std::vector<std::string>{ "gzip" });
            EXPECT_TRUE(r.raw == flagged) << "the agent's gzip was changed";
        }
        else
            EXPECT_EQ(r.encodings, encoding_of.at(r.path));
        EXPECT_TRUE(raw_at[r.path].emplace(id, r.raw).second) << "payload " << id << " twice";
        bytes_at[r.path] += r.raw.size();
    }
    for (const auto &[path, encodings] : encoding_of) EXPECT_EQ(raw_at[path].size(), static_cast<size_t>(payloads)) << path;
    // The same encoding and level: the same bytes at both.
    EXPECT_EQ(raw_at["/a"], raw_at["/b"]);
    for (const char *c : { "a", "b", "p", "z" }) {
        EXPECT_EQ(status["channels"][c]["succeeded"], payloads) << c;
        EXPECT_EQ(status["channels"][c]["body_bytes"], bytes_at[std::string("/") + c]) << c;
    }
    EXPECT_LT(bytes_at["/a"], bytes_at["/p"] / 2);
    EXPECT_EQ(log.Count("cannot compress"), 0u) << log.Text();
}

INSTANTIATE_TEST_SUITE_P(Modes, CompressionDelivery, testing::Bool(),
    [](const testing::TestParamInfo<bool> &info) { return info.param ? "parallel" : "serial"; });

// ---- the spool ----

class CompressionSpool : public PluginFixture<> { };

// What a channel could not deliver is spooled as the agent made it (body and
// flags), never as the channel's copy: a replay under another encoding
// sends each body compressed as its channel now says, and the agent's gzip
// still as it was.
TEST_F(CompressionSpool, KeepsTheOriginalAndReplaysUnderTheChannelsNewEncoding)
{
    if (!HaveZstandard()) GTEST_SKIP() << "python3-zstandard not installed (scripts/setup installs it)";
    TempDir spool, dir;
    const int refused = UnusedLoopbackPort();
    RunningPlugin plugin(R"({ "delivery": "parallel", "channels": {
        "c": { "url": "http://127.0.0.1:)" + std::to_string(refused) + R"(/c", "compression": "zstd",
               "spool_dir": ")" + spool.Path().string() + R"(" } } })");
    plugin.Start();
    constexpr int payloads = 4;
    constexpr int flagged_id = 2;
    std::map<int, std::string> sent, queued;
    std::map<int, uint32_t> flags;
    for (int i = 0; i < payloads; i++) {
        sent[i] = Body(i, 3000);
        queued[i] = i == flagged_id ? Gzip(sent[i]) : sent[i];
        flags[i] = vxPlugin::FORMAT_JSON | (i == flagged_id ? uint32_t{ vxPlugin::COMPRESS_GZIP } : 0u);
        plugin.Queue(queued[i], { "c" }, flags[i]);
    }
    auto spooled = [&] {
        std::vector<std::filesystem::path> files;
        for (const auto &e : std::filesystem::directory_iterator(spool.Path()))
            if (e.path().extension() == ".spool") files.push_back(e.path());
        return files;
    };
    ASSERT_TRUE(WaitUntil([&] { return spooled().size() == payloads; }, 30s)) << log.Text();
    plugin.Terminate();

    std::set<int> kept;
    for (const auto &file : spooled()) {
        std::ifstream in(file, std::ios::binary);
        std::string head;
        std::getline(in, head);
        const std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const nlohmann::json j = nlohmann::json::parse(head);
        const int id = IdOf(j["flags"].get<uint32_t>() & vxPlugin::COMPRESS_GZIP ? Gunzip({ body.begin(), body.end() }) : body);
        ASSERT_TRUE(queued.count(id)) << head;
        EXPECT_TRUE(body == queued[id]) << "payload " << id << " spooled changed";
        EXPECT_EQ(j["flags"], flags[id]);
        kept.insert(id);
    }
    EXPECT_EQ(kept.size(), static_cast<size_t>(payloads));

    DecodingCollector collector;
    ASSERT_TRUE(collector.Started()) << collector.Said();
    const std::string config = dir.Write("sink.json",
        R"({ "channels": { "c": { "url": ")" + collector.Url("/c") + R"(", "compression": "gzip" } } })");
    ChildProcess replay({ VX_VXSINK_PATH, "--replay", spool.Path().string(), "--plugin", VX_PLUGIN_PATH, "--config",
        config, "--tag", "r" });
    replay.CloseInput();
    const auto status = replay.Wait(60s);
    ASSERT_TRUE(status.has_value()) << replay.Stderr();
    EXPECT_EQ(*status, 0) << replay.Stderr();
    ASSERT_TRUE(collector.WaitFor(payloads)) << collector.Said();
    std::set<int> replayed;
    for (const Received &r : collector.Requests()) {
        EXPECT_EQ(r.error, "");
        EXPECT_EQ(r.encodings, std::vector<std::string>{ "gzip" });
        const int id = IdOf(r.body);
        ASSERT_TRUE(sent.count(id)) << r.body.substr(0, 40);
        EXPECT_TRUE(r.body == sent[id]) << "payload " << id;
        if (id == flagged_id) {
            EXPECT_TRUE(r.raw == queued[id]) << "the agent's gzip was changed";
        }
        replayed.insert(id);
    }
    EXPECT_EQ(replayed.size(), static_cast<size_t>(payloads));
}

// ---- VictoriaMetrics ----

constexpr const char *kVictoriaMetrics = "/usr/bin/victoria-metrics";

class CompressionVictoriaMetrics : public PluginFixture<testing::TestWithParam<bool>> { };

// JSON-line imports compressed by the channel in gzip: VictoriaMetrics
// decodes them by their Content-Encoding, and every series of every payload
// is there with its value.
TEST_P(CompressionVictoriaMetrics, GzipImportsArriveDecoded)
{
    if (access(kVictoriaMetrics, X_OK) != 0)
        GTEST_SKIP() << kVictoriaMetrics << " not installed (scripts/setup installs victoria-metrics)";
    TempDir data;
    const int port = UnusedLoopbackPort();
    ChildProcess server({ kVictoriaMetrics, "-httpListenAddr=127.0.0.1:" + std::to_string(port),
        "-storageDataPath=" + (data.Path() / "vm").string(), "-retentionPeriod=1", "-loggerLevel=ERROR" });
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(10, 0);
    ASSERT_TRUE(WaitUntil([&] {
        auto answer = client.Get("/health");
        return answer && answer->status == 200;
    }, 30s)) << server.Stderr();

    RunningPlugin plugin("{ " + Mode(GetParam()) + R"("channels": {
        "vm": { "url": "http://127.0.0.1:)" + std::to_string(port) + R"(/api/v1/import",
                "compression": "gzip", "success_codes": [200, 204] } } })");
    plugin.Start();
    const long long now_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    constexpr int payloads = 20;
    constexpr int lines = 5;
    std::map<std::string, double> expected;
    for (int p = 0; p < payloads; p++) {
        std::string body;
        for (int l = 0; l < lines; l++) {
            const std::string id = std::to_string(p) + "-" + std::to_string(l);
            expected[id] = p * 10 + l;
            body += R"({"metric":{"__name__":"vx_compression_e2e","id":")" + id + R"("},"values":[)" +
                std::to_string(p * 10 + l) + R"(],"timestamps":[)" + std::to_string(now_ms) + "]}\n";
        }
        plugin.Queue(body, { "vm" });
    }
    nlohmann::json status;
    ASSERT_TRUE(WaitUntil([&] {
        plugin.Sink().GetStatus(status);
        return status["channels"]["vm"]["posts"] == payloads;
    }, 30s)) << status.dump() << log.Text();
    EXPECT_EQ(status["channels"]["vm"]["succeeded"], payloads) << log.Text() << server.Stderr();
    plugin.Terminate();

    std::map<std::string, double> found;
    ASSERT_TRUE(WaitUntil([&] {
        client.Get("/internal/force_flush");
        auto answer = client.Get("/api/v1/export?match[]=vx_compression_e2e");
        if (!answer || answer->status != 200) return false;
        found.clear();
        std::istringstream in(answer->body);
        for (std::string line; std::getline(in, line);) {
            if (line.empty()) continue;
            const nlohmann::json j = nlohmann::json::parse(line);
            found[j["metric"]["id"].get<std::string>()] = j["values"].at(0).get<double>();
        }
        return found.size() >= expected.size();
    }, 30s)) << found.size() << " series of " << expected.size() << "\n" << server.Stderr();
    EXPECT_EQ(found, expected);
    EXPECT_EQ(log.Count("cannot compress"), 0u) << log.Text();
}

INSTANTIATE_TEST_SUITE_P(Modes, CompressionVictoriaMetrics, testing::Bool(),
    [](const testing::TestParamInfo<bool> &info) { return info.param ? "parallel" : "serial"; });

} // namespace
