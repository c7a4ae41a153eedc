// Configuration files an operator (or an accident) could hand the loader:
// huge, deeply nested, malformed, or swapped while being read. Each must
// either load or fail with the loader's own message, never crash, and a
// failure must leave the configuration in force untouched.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "plugin/hts_plugin.h"
#include "test_support.h"

namespace {

const char *const kTag = "hostile";
const char *const kBaseline =
    R"({"channels": {"base": {"url": "http://127.0.0.1:9/base", "headers": {"X-Base": "1"}}}})";

std::set<std::string> Names(const htsPlugin &plugin)
{
    std::set<std::string> names;
    for (const auto &[name, record] : plugin.channels) names.insert(name);
    return names;
}

class HostileConfig : public testing::Test
{
protected:
    void SetUp() override
    {
        global.config.SetUUID(UUID_SITE, "site-9");
        path = dir.Write("sink-http.json", kBaseline);
        plugin = std::make_unique<htsPlugin>(kTag,
            std::map<std::string, std::string>{ { "conf_filename", path } });
        ASSERT_EQ(Reload(), "");
        ASSERT_EQ(Names(*plugin), std::set<std::string>{ "base" });
        // A built header list shows the records themselves survive a
        // failed load, not merely equal copies of them.
        baseline_list = plugin->channels.at("base").GetHeaders(
            vxFlags<vxPlugin::DispatchFlags>(vxPlugin::FORMAT_JSON));
        ASSERT_NE(baseline_list, nullptr);
    }

    // Reloads as the worker does; returns the failure line, or "" when the
    // file loaded.
    std::string Reload()
    {
        log.Clear();
        plugin->Reload();
        auto lines = log.Matching("configuration not loaded");
        return lines.empty() ? std::string() : lines.front();
    }

    std::string Load(const std::string &text)
    {
        dir.Write("sink-http.json", text);
        return Reload();
    }

    std::string JsonFailurePrefix() const
    {
        return std::string(kTag) + ": configuration not loaded: " + kTag +
            ": error loading configuration: " + path + ": JSON exception: ";
    }

    void ExpectBaselineInForce()
    {
        ASSERT_EQ(Names(*plugin), std::set<std::string>{ "base" });
        htsChannelConfig &base = plugin->channels.at("base");
        EXPECT_EQ(base.url, "http://127.0.0.1:9/base");
        EXPECT_EQ(base.header_list.get(), baseline_list);
    }

    vxtest::LogCapture log{ false };
    vxtest::GlobalConfigScope global;
    vxtest::TempDir dir;
    std::string path;
    std::unique_ptr<htsPlugin> plugin;
    curl_slist *baseline_list = nullptr;
};

TEST_F(HostileConfig, TenThousandChannels)
{
    const int count = 10000;
    std::string text = R"({"timeout_connect": 3, "channels": {)";
    char name[16];
    for (int i = 0; i < count; i++) {
        snprintf(name, sizeof(name), "c%05d", i);
        text += std::string(i ? "," : "") + "\"" + name + "\": {\"url\": \"http://127.0.0.1:9/" + name +
            "/${uuid_site}\", \"headers\": {\"X-N\": \"" + name + "\"}}";
    }
    ASSERT_EQ(Load(text + "}}"), "");
    ASSERT_EQ(plugin->channels.size(), static_cast<size_t>(count));
    const htsChannelConfig &last = plugin->channels.at("c09999");
    EXPECT_EQ(last.url, "http://127.0.0.1:9/c09999/site-9");
    EXPECT_EQ(last.timeout_connect, 3u);
    EXPECT_EQ(last.headers.at("X-N"), "c09999");

    // The same file with one channel more that lacks its URL is refused as a
    // whole; the ten thousand stay.
    const htsChannelConfig *kept = &last;
    EXPECT_EQ(Load(text + R"(, "zz": {}}})"),
        std::string(kTag) + ": configuration not loaded: " + kTag + ": required parameter missing: url\n");
    EXPECT_EQ(plugin->channels.size(), static_cast<size_t>(count));
    EXPECT_EQ(&plugin->channels.at("c09999"), kept);
}

struct NestingCase {
    const char *name;
    std::string text;
    // Empty: loads; otherwise the start of the failure line after the tag.
    std::string failure;
};

void PrintTo(const NestingCase &c, std::ostream *os) { *os << c.name; }

std::string Nested(const std::string &open, const std::string &close, int depth)
{
    std::string text;
    text.reserve((open.size() + close.size()) * depth);
    for (int i = 0; i < depth; i++) text += open;
    for (int i = 0; i < depth; i++) text += close;
    return text;
}

class HostileNesting : public HostileConfig, public testing::WithParamInterface<NestingCase> { };

TEST_P(HostileNesting, LoadsOrFailsWithoutCrashing)
{
    const auto &c = GetParam();
    std::string line = Load(c.text);
    if (c.failure.empty()) {
        EXPECT_EQ(line, "");
        return;
    }
    std::string expected = std::string(kTag) + ": configuration not loaded: " + c.failure;
    if (c.failure == "json") expected = JsonFailurePrefix();
    EXPECT_EQ(line.substr(0, expected.size()), expected);
    ExpectBaselineInForce();
}

const int kDepth = 100000;

INSTANTIATE_TEST_SUITE_P(Deep, HostileNesting,
    testing::Values(
        NestingCase{ "arrays_in_unread_key",
            R"({"channels": {"a": {"url": "http://127.0.0.1:9/a", "extra": )" + Nested("[", "]", kDepth) + "}}}", "" },
        NestingCase{ "objects_at_top", Nested("{\"k\":", "}", kDepth - 1).insert((kDepth - 1) * 5, "0"), "" },
        NestingCase{ "arrays_as_channels", R"({"channels": )" + Nested("[", "]", kDepth) + "}",
            "[json.exception.type_error.302] type must be object, but is array" },
        NestingCase{ "objects_as_header_value",
            R"({"channels": {"a": {"url": "u", "headers": {"X": )" + Nested("{\"k\":", "}", kDepth).insert(kDepth * 5, "1") + "}}}}",
            "[json.exception.type_error.302] type must be string, but is object" },
        NestingCase{ "arrays_as_url", R"({"channels": {"a": {"url": )" + Nested("[", "]", kDepth) + "}}}",
            std::string(kTag) + ": required parameter missing: url" },
        NestingCase{ "never_closed", std::string(kDepth, '['), "json" },
        NestingCase{ "closed_wrongly", std::string(kDepth, '[') + std::string(kDepth, '}'), "json" },
        NestingCase{ "ten_times_deeper", Nested("[", "]", kDepth * 10), "" }),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(HostileConfig, TenMegabyteValues)
{
    const std::string path_part(10 * 1024 * 1024, 'p');
    const std::string url = "http://127.0.0.1:9/" + path_part + "?site=${uuid_site}";
    ASSERT_EQ(Load(R"({"channels": {"big": {"url": ")" + url + R"(", "headers": {"X-Big": ")" + path_part + R"("}}}})"), "");
    const htsChannelConfig &big = plugin->channels.at("big");
    EXPECT_EQ(big.url, "http://127.0.0.1:9/" + path_part + "?site=site-9");
    EXPECT_EQ(big.headers.at("X-Big").size(), path_part.size());

    // An unterminated string of the same size fails cleanly.
    ASSERT_EQ(Load(kBaseline), "");
    baseline_list = plugin->channels.at("base").GetHeaders(vxFlags<vxPlugin::DispatchFlags>(vxPlugin::FORMAT_JSON));
    std::string line = Load(R"({"channels": {"big": {"url": ")" + url);
    EXPECT_EQ(line.substr(0, JsonFailurePrefix().size()), JsonFailurePrefix());
    ExpectBaselineInForce();
}

// The JSON library keeps the last of duplicate keys; what matters here is
// that the outcome is whole and predictable.
TEST_F(HostileConfig, DuplicateKeysKeepTheLast)
{
    ASSERT_EQ(Load(R"({"timeout_connect": 1, "timeout_connect": 2, "channels": {
        "a": {"url": "http://127.0.0.1:9/first", "url": "http://127.0.0.1:9/second"},
        "b": {"url": "http://127.0.0.1:9/b1"}, "b": {"url": "http://127.0.0.1:9/b2", "headers": {"X": "1", "X": "2"}},
        "c": {"enable": false, "url": "http://127.0.0.1:9/c", "enable": true},
        "d": {"enable": true, "enable": false}}})"),
        "");
    EXPECT_EQ(Names(*plugin), (std::set<std::string>{ "a", "b", "c" }));
    EXPECT_EQ(plugin->channels.at("a").url, "http://127.0.0.1:9/second");
    EXPECT_EQ(plugin->channels.at("a").timeout_connect, 2u);
    EXPECT_EQ(plugin->channels.at("b").url, "http://127.0.0.1:9/b2");
    EXPECT_EQ(plugin->channels.at("b").headers, (std::map<std::string, std::string>{ { "X", "2" } }));

    // A later "channels" replaces an earlier one whole.
    ASSERT_EQ(Load(R"({"channels": {"x": {"url": "http://127.0.0.1:9/x"}}, "channels": {}})"), "");
    EXPECT_TRUE(plugin->channels.empty());
}

struct EncodingCase {
    const char *name;
    std::string text;
    bool loads;
};

void PrintTo(const EncodingCase &c, std::ostream *os) { *os << c.name; }

class HostileEncoding : public HostileConfig, public testing::WithParamInterface<EncodingCase> { };

TEST_P(HostileEncoding, LoadsOrFailsWithTheLoaderMessage)
{
    const auto &c = GetParam();
    std::string line = Load(c.text);
    if (c.loads) {
        EXPECT_EQ(line, "");
        EXPECT_EQ(Names(*plugin), std::set<std::string>{ "a" });
        return;
    }
    EXPECT_EQ(line.substr(0, JsonFailurePrefix().size()), JsonFailurePrefix()) << line;
    ExpectBaselineInForce();
}

const std::string kHead = R"({"channels": {"a": {"url": "http://127.0.0.1:9/)";
const std::string kTail = R"("}}})";

INSTANTIATE_TEST_SUITE_P(Utf8, HostileEncoding,
    testing::Values(
        EncodingCase{ "stray_continuation_byte", kHead + "\x80" + kTail, false },
        EncodingCase{ "invalid_byte_ff", kHead + "\xff" + kTail, false },
        EncodingCase{ "overlong_slash", kHead + "\xc0\xaf" + kTail, false },
        EncodingCase{ "encoded_surrogate", kHead + "\xed\xa0\x80" + kTail, false },
        EncodingCase{ "beyond_unicode", kHead + "\xf4\x90\x80\x80" + kTail, false },
        EncodingCase{ "truncated_sequence", kHead + "\xe2\x82" + kTail, false },
        EncodingCase{ "lone_surrogate_escape", kHead + "\\ud800" + kTail, false },
        EncodingCase{ "nul_byte_in_string", kHead + std::string(1, '\0') + kTail, false },
        EncodingCase{ "invalid_byte_outside_strings", kHead + kTail + "\xff", false },
        EncodingCase{ "latin1_key", "{\"channels\": {\"\xe9\": {\"url\": \"u\"}}}", false },
        EncodingCase{ "invalid_bytes_in_comment", "// \xff\xfe\xc0\n" + kHead + kTail, true },
        EncodingCase{ "byte_order_mark", "\xef\xbb\xbf" + kHead + kTail, true },
        EncodingCase{ "valid_multibyte", kHead + "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80" + kTail, true }),
    [](const auto &info) { return std::string(info.param.name); });

// The loader reads the file once per reload while something else replaces
// it. Atomic replacement (rename) must give exactly one whole file per load;
// rewriting in place may give any mix, which must still load or fail with the
// loader's message.
TEST_F(HostileConfig, FileReplacedWhileBeingRead)
{
    const std::string a = R"({"channels": {"a1": {"url": "http://127.0.0.1:9/a1"}, "a2": {"url": "http://127.0.0.1:9/a2"}}})";
    const std::string b = R"(// padding so the two files differ in length
{"channels": {"b1": {"url": "http://127.0.0.1:9/b1"}}})";
    const std::string broken = R"({"channels": {"c1": {"url": "http://127.0.0.1:9/c1"})";
    const std::vector<std::string> texts = { a, b, broken };
    const std::set<std::string> names_a = { "a1", "a2" }, names_b = { "b1" };

    for (bool in_place : { false, true }) {
        SCOPED_TRACE(in_place ? "rewritten in place" : "renamed over");
        std::atomic<bool> stop{ false };
        std::atomic<int> writes{ 0 };
        std::thread writer([&] {
            const std::string aside = path + ".new";
            for (int i = 0; i < 100000 && !stop.load(); i++) {
                const std::string &text = texts[i % texts.size()];
                if (in_place) {
                    std::ofstream out(path, std::ios::binary | std::ios::trunc);
                    out << text;
                }
                else {
                    {
                        std::ofstream out(aside, std::ios::binary | std::ios::trunc);
                        out << text;
                    }
                    std::filesystem::rename(aside, path);
                }
                writes++;
            }
        });

        ASSERT_TRUE(vxtest::WaitUntil([&] { return writes.load() > 0; }));
        // At least 300 loads, overlapping at least 300 replacements.
        int loaded = 0, failed = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (int i = 0; i < 300 || (writes.load() < 300 && std::chrono::steady_clock::now() < deadline); i++) {
            std::string line = Reload();
            if (line.empty()) {
                loaded++;
                auto names = Names(*plugin);
                if (!in_place) {
                    EXPECT_TRUE(names == names_a || names == names_b) << testing::PrintToString(names);
                }
                for (const auto &[name, record] : plugin->channels)
                    EXPECT_EQ(record.url, "http://127.0.0.1:9/" + name);
            }
            else {
                failed++;
                EXPECT_EQ(line.substr(0, JsonFailurePrefix().size()), JsonFailurePrefix()) << line;
            }
        }
        stop = true;
        writer.join();
        EXPECT_GE(loaded + failed, 300);
        // Renamed files are always whole, so two in three loads succeed; a
        // file rewritten in place may be caught empty or half written every
        // time on a busy machine.
        if (!in_place) {
            EXPECT_GT(loaded, 0);
        }
        EXPECT_GE(writes.load(), 300);
    }
}

} // namespace
