// Loading the configuration file: variables, defaults, channels, the swap,
// and what an operator sees when a load fails.
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "failing_allocator.h"
#include "plugin/hts_plugin.h"
#include "test_support.h"
#include "vxutils.h"

namespace {

using Flags = vxFlags<vxPlugin::DispatchFlags>;

constexpr const char *kTag = "sink-test";

// One line per record, defaults first, so a whole configuration in force can
// be compared as one text.
std::string Describe(const std::string &key, const htsChannelConfig &r)
{
    std::ostringstream out;
    out << key;
    if (r.channel != key) out << " (channel=" << r.channel << ")";
    out << " url=" << r.url << " connect=" << r.timeout_connect << " transfer=" << r.timeout_transfer
        << " verify=" << r.tls_verify << " tls1=" << r.tls_version1 << " headers={";
    const char *sep = "";
    for (const auto &[name, value] : r.headers) {
        out << sep << name << ": " << value;
        sep = ", ";
    }
    out << "}\n";
    return out.str();
}

std::string Describe(const htsPlugin &plugin)
{
    std::string text = Describe("defaults", plugin.defaults);
    for (const auto &[key, record] : plugin.channels) text += Describe(key, record);
    return text;
}

std::vector<std::string> ListLines(const curl_slist *list)
{
    std::vector<std::string> lines;
    for (; list != nullptr; list = list->next) lines.emplace_back(list->data);
    return lines;
}

// The library's own text for a document it refuses.
std::string ParseErrorText(const std::string &doc)
{
    try {
        nlohmann::json refused = nlohmann::json::parse(doc, nullptr, true, true);
        ADD_FAILURE() << "document parses: " << refused.dump();
    }
    catch (const nlohmann::json::exception &e) {
        return e.what();
    }
    return {};
}

std::string Fill(std::string text, const std::string &path)
{
    for (const auto &[mark, value] : { std::pair<std::string, std::string>{ "{tag}", kTag }, { "{path}", path } }) {
        for (size_t at; (at = text.find(mark)) != std::string::npos;) text.replace(at, mark.size(), value);
    }
    return text;
}

#define FRESH_DEFAULTS "defaults url= connect=30 transfer=300 verify=1 tls1=0 headers={}\n"

// Loaded before every case, so each case also shows what replaces (or
// survives) a configuration already in force.
const char *const kBaselineFile = R"({
    "url": "http://127.0.0.1:8080/base", "headers": { "X-Base": "1" },
    "timeout_connect": 7, "timeout_transfer": 70, "tls_verify": false, "tls_version1": true,
    "channels": { "keep": { "url": "http://127.0.0.1:8080/keep", "headers": { "X-Keep": "${site_name}" } } }
})";
const char *const kBaseline =
    "defaults url=http://127.0.0.1:8080/base connect=7 transfer=70 verify=0 tls1=1 headers={X-Base: 1}\n"
    "keep url=http://127.0.0.1:8080/keep connect=7 transfer=70 verify=0 tls1=1 headers={X-Keep: lab-3}\n";

class ConfigLoader : public testing::Test
{
protected:
    ConfigLoader() : path((dir.Path() / "sink-http.json").string())
    {
        global.config.conf_vars = { { "${site_name}", "lab-3" }, { "${empty}", "" } };
        // Stored the way the agent may keep them, with a trailing line break
        // that must not reach a header. No serial is stored: it expands to
        // nothing.
        global.config.SetUUID(UUID_AGENT, "agent-0001\n");
        global.config.SetUUID(UUID_SITE, "site-0002\r\n");
    }

    void Write(const std::string &text) { dir.Write("sink-http.json", text); }

    // Loads the baseline and builds a header list on its channel, so a later
    // case can show that list is still the one in use.
    curl_slist *LoadBaseline(htsPlugin &plugin)
    {
        Write(kBaselineFile);
        plugin.LoadConfig();
        EXPECT_EQ(Describe(plugin), kBaseline);
        return plugin.channels.at("keep").GetHeaders(Flags(vxPlugin::FORMAT_JSON));
    }

    vxtest::TempDir dir;
    vxtest::GlobalConfigScope global;
    const std::string path;
};

// ---------------------------------------------------------------------------
// Failures: exact texts, and nothing in force changes.

enum class Setup { File, NoFile, Directory, NoGlobal };

enum class Expect {
    Exact,     // what() is the text
    JsonParse, // what() is the text followed by the library's own parse error
    OtherRead, // what() starts with the text, followed by a reason that is no JSON error
    Contains,  // what() contains the text (the library's type errors)
};

struct FailCase {
    const char *name;
    const char *file;
    Setup setup;
    std::map<std::string, std::string> vars; // agent variables set before the load
    Expect expect;
    const char *text;
};

void PrintTo(const FailCase &c, std::ostream *os) { *os << c.name; }

class ConfigLoaderFailure : public ConfigLoader, public testing::WithParamInterface<FailCase> { };

TEST_P(ConfigLoaderFailure, ThrowsItsTextAndKeepsPreviousConfiguration)
{
    const FailCase &c = GetParam();
    htsPlugin plugin(kTag, { { "conf_filename", path } });
    curl_slist *list = LoadBaseline(plugin);
    const htsChannelConfig *record = &plugin.channels.at("keep");

    for (const auto &[name, value] : c.vars) global.config.conf_vars[name] = value;
    switch (c.setup) {
    case Setup::File: Write(c.file); break;
    case Setup::NoFile: std::filesystem::remove(path); break;
    case Setup::Directory:
        std::filesystem::remove(path);
        std::filesystem::create_directory(path);
        break;
    case Setup::NoGlobal: vxGlobalConfig::SetInstance(nullptr); break;
    }

    std::string message;
    try {
        plugin.LoadConfig();
        ADD_FAILURE() << "load succeeded";
    }
    catch (const std::exception &e) {
        message = e.what();
    }
    const std::string text = Fill(c.text, path);
    switch (c.expect) {
    case Expect::Exact: EXPECT_EQ(message, text); break;
    case Expect::JsonParse: EXPECT_EQ(message, text + ParseErrorText(c.file)); break;
    case Expect::OtherRead:
        ASSERT_EQ(message.substr(0, text.size()), text) << message;
        EXPECT_GT(message.size(), text.size());
        EXPECT_NE(message.substr(text.size()).rfind("JSON exception", 0), 0u) << message;
        break;
    case Expect::Contains: EXPECT_NE(message.find(text), std::string::npos) << message; break;
    }

    // The same records, with the same header list, are still in force.
    EXPECT_EQ(Describe(plugin), kBaseline);
    ASSERT_EQ(plugin.channels.size(), 1u);
    EXPECT_EQ(&plugin.channels.at("keep"), record);
    EXPECT_EQ(plugin.channels.at("keep").GetHeaders(Flags(vxPlugin::FORMAT_JSON)), list);
    EXPECT_EQ(ListLines(list), (std::vector<std::string>{ "Content-Type: application/json",
                                   "User-Agent: " + vx_get_version_and_features(false), "X-Keep: lab-3" }));
}

constexpr const char *kMissingUrl = "{tag}: required parameter missing: url";
constexpr const char *kParse = "{tag}: error loading configuration: {path}: JSON exception: ";

INSTANTIATE_TEST_SUITE_P(Config, ConfigLoaderFailure,
    testing::Values(
        FailCase{ "no_global_config", "{}", Setup::NoGlobal, {}, Expect::Exact,
            "static vxGlobalConfig &vxGlobalConfig::GetInstance(): instance not found" },
        FailCase{ "no_file", nullptr, Setup::NoFile, {}, Expect::Exact, "{tag}: error opening configuration: {path}" },
        FailCase{ "directory", nullptr, Setup::Directory, {}, Expect::OtherRead,
            "{tag}: error loading configuration: {path}: " },
        FailCase{ "syntax_error", R"({"channels": {"a" "http://h/a"}})", Setup::File, {}, Expect::JsonParse, kParse },
        FailCase{ "comments_only", "// nothing yet\n/* still\n   nothing */\n\n", Setup::File, {}, Expect::JsonParse, kParse },
        FailCase{ "empty_file", "", Setup::File, {}, Expect::JsonParse, kParse },
        FailCase{ "two_values", "{} {}", Setup::File, {}, Expect::JsonParse, kParse },
        FailCase{ "unclosed_comment", "{} /* never closed", Setup::File, {}, Expect::JsonParse, kParse },
        FailCase{ "top_header_not_string", R"({"headers": {"X-Top": 1}})", Setup::File, {}, Expect::Contains,
            "type must be string, but is number" },
        FailCase{ "channel_header_not_string",
            R"({"channels": {"a": {"url": "http://h/a", "headers": {"X-A": null}}}})", Setup::File, {},
            Expect::Contains, "type must be string, but is null" },
        FailCase{ "channels_array", R"({"channels": [{"url": "http://h/a"}]})", Setup::File, {}, Expect::Contains,
            "type must be object, but is array" },
        FailCase{ "channels_string", R"({"channels": "a"})", Setup::File, {}, Expect::Contains,
            "type must be object, but is string" },
        FailCase{ "channels_null", R"({"channels": null})", Setup::File, {}, Expect::Contains,
            "type must be object, but is null" },
        FailCase{ "url_missing", R"({"channels": {"a": {}}})", Setup::File, {}, Expect::Exact, kMissingUrl },
        FailCase{ "url_not_string", R"({"channels": {"a": {"url": ["http://h/a"]}}})", Setup::File, {},
            Expect::Exact, kMissingUrl },
        FailCase{ "url_expands_empty", R"({"channels": {"a": {"url": "${empty}"}}})", Setup::File, {},
            Expect::Exact, kMissingUrl },
        FailCase{ "channel_not_object", R"({"channels": {"a": "http://h/a"}})", Setup::File, {}, Expect::Exact,
            kMissingUrl },
        FailCase{ "enable_string_no", R"({"channels": {"a": {"enable": "no"}}})", Setup::File, {}, Expect::Exact,
            kMissingUrl },
        FailCase{ "enable_true", R"({"channels": {"a": {"enable": true}}})", Setup::File, {}, Expect::Exact,
            kMissingUrl },
        FailCase{ "top_url_not_inherited", R"({"url": "http://h/top", "channels": {"a": {}}})", Setup::File, {},
            Expect::Exact, kMissingUrl },
        FailCase{ "one_bad_channel_of_two", R"({"channels": {"a": {"url": "http://h/a"}, "b": {"url": ""}}})",
            Setup::File, {}, Expect::Exact, kMissingUrl },
        // "a" is taken before "b" whatever the file's order: its error, not b's.
        FailCase{ "channels_in_name_order", R"({"channels": {"b": {}, "a": {"url": "http://h/a", "headers": {"X-A": "\n"}}}})",
            Setup::File, {}, Expect::Exact, "a: invalid header value: X-A" }),
    [](const auto &info) { return std::string(info.param.name); });

// A line break in a header value would let the file, or whoever sets an
// agent variable, add header lines to every request of the channel.
INSTANTIATE_TEST_SUITE_P(HeaderBreak, ConfigLoaderFailure,
    testing::Values(
        FailCase{ "crlf_in_file", R"({"channels": {"a": {"url": "http://h/a", "headers": {"X-A": "v\r\nX-Evil: 1"}}}})",
            Setup::File, {}, Expect::Exact, "a: invalid header value: X-A" },
        FailCase{ "lf_in_defaults", R"({"headers": {"X-Top": "v\nX-Evil: 1"}})", Setup::File, {}, Expect::Exact,
            "defaults: invalid header value: X-Top" },
        FailCase{ "crlf_from_variable", R"({"channels": {"a": {"url": "http://h/a", "headers": {"X-Site": "${site_name}"}}}})",
            Setup::File, { { "${site_name}", "lab\r\nX-Evil: 1" } }, Expect::Exact,
            "a: invalid header value: X-Site" },
        FailCase{ "cr_from_identifier_override", R"({"channels": {"a": {"url": "http://h/a", "headers": {"X-Agent": "${uuid_agent}"}}}})",
            Setup::File, { { "${uuid_agent}", "id\rX-Evil: 1" } }, Expect::Exact,
            "a: invalid header value: X-Agent" }),
    [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Loads that succeed, some of them surprisingly: each replaces the baseline.

struct LoadCase {
    const char *name;
    const char *file;
    std::map<std::string, std::string> vars;
    const char *expected;
};

void PrintTo(const LoadCase &c, std::ostream *os) { *os << c.name; }

class ConfigLoaderSuccess : public ConfigLoader, public testing::WithParamInterface<LoadCase> { };

TEST_P(ConfigLoaderSuccess, ReplacesConfigurationInForce)
{
    const LoadCase &c = GetParam();
    htsPlugin plugin(kTag, { { "conf_filename", path } });
    ASSERT_NE(LoadBaseline(plugin), nullptr);

    for (const auto &[name, value] : c.vars) global.config.conf_vars[name] = value;
    Write(c.file);
    plugin.LoadConfig();
    EXPECT_EQ(Describe(plugin), c.expected);

    // Fresh records: their header lists are built again on first use.
    for (auto &[name, record] : plugin.channels) {
        EXPECT_EQ(record.header_list, nullptr) << name;
        ASSERT_NE(record.GetHeaders(Flags(vxPlugin::COMPRESS_GZIP)), nullptr) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Config, ConfigLoaderSuccess,
    testing::Values(
        LoadCase{ "top_level_array", R"([{"channels": {"a": {"url": "http://h/a"}}}])", {}, FRESH_DEFAULTS },
        LoadCase{ "top_level_number", "42", {}, FRESH_DEFAULTS },
        LoadCase{ "no_channels_key", R"({"timeout_connect": 9})", {},
            "defaults url= connect=9 transfer=300 verify=1 tls1=0 headers={}\n" },
        LoadCase{ "empty_channels", R"({"channels": {}})", {}, FRESH_DEFAULTS },
        LoadCase{ "disabled_channels_skipped",
            R"({"channels": {"zeta": {"url": "http://h/z"}, "off": {"enable": false},
                "off_with_url": {"enable": false, "url": "http://h/x"}, "alpha": {"url": "http://h/a"}}})",
            {},
            FRESH_DEFAULTS "alpha url=http://h/a connect=30 transfer=300 verify=1 tls1=0 headers={}\n"
                           "zeta url=http://h/z connect=30 transfer=300 verify=1 tls1=0 headers={}\n" },
        LoadCase{ "enable_other_than_false",
            R"({"channels": {"t": {"enable": true, "url": "http://h/t"}, "s": {"enable": "no", "url": "http://h/s"},
                "n": {"enable": 0, "url": "http://h/n"}}})",
            {},
            FRESH_DEFAULTS "n url=http://h/n connect=30 transfer=300 verify=1 tls1=0 headers={}\n"
                           "s url=http://h/s connect=30 transfer=300 verify=1 tls1=0 headers={}\n"
                           "t url=http://h/t connect=30 transfer=300 verify=1 tls1=0 headers={}\n" },
        LoadCase{ "inherited_and_overridden",
            R"({"timeout_connect": 10, "timeout_transfer": 20, "tls_verify": false, "tls_version1": true,
                "channels": {"inherit": {"url": "http://h/i"},
                    "override": {"url": "http://h/o", "timeout_connect": 5, "timeout_transfer": 6,
                        "tls_verify": true, "tls_version1": false},
                    "ill_typed": {"url": "http://h/t", "timeout_connect": "5", "tls_verify": 1}}})",
            {},
            "defaults url= connect=10 transfer=20 verify=0 tls1=1 headers={}\n"
            "ill_typed url=http://h/t connect=10 transfer=20 verify=0 tls1=1 headers={}\n"
            "inherit url=http://h/i connect=10 transfer=20 verify=0 tls1=1 headers={}\n"
            "override url=http://h/o connect=5 transfer=6 verify=1 tls1=0 headers={}\n" },
        LoadCase{ "top_url_and_headers_only_in_defaults",
            R"({"url": "http://h/${site_name}", "headers": {"X-Top": "${uuid_agent}"},
                "channels": {"a": {"url": "http://h/a"}, "b": {"url": "http://h/b", "headers": {"X-B": "b"}}}})",
            {},
            "defaults url=http://h/lab-3 connect=30 transfer=300 verify=1 tls1=0 headers={X-Top: agent-0001}\n"
            "a url=http://h/a connect=30 transfer=300 verify=1 tls1=0 headers={}\n"
            "b url=http://h/b connect=30 transfer=300 verify=1 tls1=0 headers={X-B: b}\n" },
        LoadCase{ "identifiers_expand",
            R"({"channels": {"ids": {"url": "http://h/${uuid_agent}/${uuid_site}/${site_name}?s=${uuid_serial}",
                "headers": {"X-Agent": "${uuid_agent}", "X-Serial": "${uuid_serial}", "X-Other": "${nobody}"}}}})",
            {},
            FRESH_DEFAULTS "ids url=http://h/agent-0001/site-0002/lab-3?s= connect=30 transfer=300 verify=1 "
                           "tls1=0 headers={X-Agent: agent-0001, X-Other: ${nobody}, X-Serial: -}\n" },
        LoadCase{ "agent_variable_beats_identifier",
            R"({"channels": {"a": {"url": "http://h/${uuid_agent}/${uuid_site}", "headers": {"X-Agent": "${uuid_agent}"}}}})",
            { { "${uuid_agent}", "from-agent" } },
            FRESH_DEFAULTS "a url=http://h/from-agent/site-0002 connect=30 transfer=300 verify=1 tls1=0 "
                           "headers={X-Agent: from-agent}\n" },
        LoadCase{ "comments_and_slashes_in_strings",
            "// lead\n{ /* block */ \"channels\": { // line\n \"a\": {\"url\": \"http://h/a//x/*y*/\"} } } // tail",
            {}, FRESH_DEFAULTS "a url=http://h/a//x/*y*/ connect=30 transfer=300 verify=1 tls1=0 headers={}\n" }),
    [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------

TEST_F(ConfigLoader, ReloadLogsWhatAnOperatorNeeds)
{
    vxtest::LogCapture log;
    htsPlugin plugin(kTag, { { "conf_filename", path } });
    const std::string loading = std::string(kTag) + ": Loading configuration: " + path + "\n";

    log.Clear();
    plugin.Reload();
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{ loading,
                               std::string(kTag) + ": configuration not loaded: " + kTag +
                                   ": error opening configuration: " + path + "\n" }));

    log.Clear();
    Write(R"({"channels": {"a": {"url": "http://h/a"}}})");
    plugin.Reload();
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{ loading }));
    EXPECT_EQ(plugin.channels.size(), 1u);

    // Without debug logging only the failure reaches the operator.
    log.Clear();
    vx_log_set_debug(false);
    const char *broken = R"({"channels": {"a": {"url": "http://h/a"})";
    Write(broken);
    plugin.Reload();
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{ std::string(kTag) + ": configuration not loaded: " + kTag +
                               ": error loading configuration: " + path + ": JSON exception: " +
                               ParseErrorText(broken) + "\n" }));

    log.Clear();
    vxGlobalConfig::SetInstance(nullptr);
    plugin.Reload();
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{ std::string(kTag) + ": configuration not loaded: " +
                               "static vxGlobalConfig &vxGlobalConfig::GetInstance(): instance not found\n" }));
    EXPECT_EQ(plugin.channels.size(), 1u);
}

TEST_F(ConfigLoader, ShippedExampleLoads)
{
    htsPlugin plugin("example", { { "conf_filename", VX_SOURCE_DIR "/examples/sink-http.json" } });
    plugin.LoadConfig();
    EXPECT_EQ(Describe(plugin),
        "defaults url= connect=10 transfer=60 verify=1 tls1=0 headers={}\n"
        "alerts url=http://127.0.0.1:8080/ingest/alerts?site=lab-3 connect=10 transfer=15 verify=1 tls1=0 "
        "headers={X-Agent-UUID: agent-0001, X-Site: lab-3}\n"
        "flows url=http://127.0.0.1:8080/ingest/flows connect=10 transfer=60 verify=1 tls1=0 "
        "headers={X-Agent-UUID: agent-0001, X-Site: lab-3, X-Stream: flows}\n");

    // The disabled channel is there to be switched on: it is only missing its URL.
    std::ifstream in(VX_SOURCE_DIR "/examples/sink-http.json");
    auto root = nlohmann::json::parse(in, nullptr, true, true);
    ASSERT_TRUE(root["channels"].contains("legacy"));
    EXPECT_EQ(root["channels"]["legacy"]["enable"], false);
}

// Hundreds of reloads, alternately good and bad, each good one after header
// lists were built on every channel: the sanitizer builds turn any leaked or
// doubly freed record or list into a failure.
TEST_F(ConfigLoader, ManyReloadsAlternatingGoodAndBad)
{
    const char *const bad[] = {
        R"({"channels": {"a" "x"}})",
        R"({"channels": {"a": {}}})",
        R"({"channels": {"a": {"url": "http://h/a", "headers": {"X-A": "v\r\nX: 1"}}}})",
        R"({"channels": {"a": {"url": "http://h/a", "headers": {"X-A": 5}}}})",
        R"({"channels": []})",
    };
    htsPlugin plugin(kTag, { { "conf_filename", path } });
    size_t good_channels = 0;
    int failures = 0;
    for (int i = 0; i < 300; i++) {
        if (i % 2 == 0) {
            const size_t count = static_cast<size_t>(i / 2 % 4) + 1;
            nlohmann::json doc = { { "timeout_connect", i }, { "headers", { { "X-Top", "${uuid_agent}" } } } };
            for (size_t n = 0; n < count; n++) {
                const std::string name = "ch" + std::to_string(n);
                doc["channels"][name] = { { "url", "http://127.0.0.1:8080/" + name },
                    { "headers", { { "X-Agent", "${uuid_agent}" }, { "X-N", std::to_string(i) } } } };
            }
            Write(doc.dump());
            plugin.LoadConfig();
            good_channels = count;
        }
        else {
            Write(bad[i / 2 % std::size(bad)]);
            try {
                plugin.LoadConfig();
            }
            catch (const std::exception &) {
                failures++;
            }
        }
        ASSERT_EQ(plugin.channels.size(), good_channels) << "load " << i;
        for (auto &[name, record] : plugin.channels) {
            ASSERT_NE(record.GetHeaders(Flags(vxPlugin::FORMAT_JSON)), nullptr);
            ASSERT_NE(record.GetHeaders(Flags(vxPlugin::FORMAT_MSGPACK) | vxPlugin::COMPRESS_GZIP), nullptr);
        }
    }
    EXPECT_EQ(failures, 150);
    EXPECT_EQ(plugin.defaults.timeout_connect, 298u);
    EXPECT_EQ(plugin.channels.at("ch0").headers.at("X-N"), "298");
    EXPECT_EQ(ListLines(plugin.channels.at("ch0").header_list_gz.get()).front(), "Content-Encoding: gzip");
}

// An allocation that fails anywhere in a load, the last step included,
// leaves the configuration in force exactly as it was: the new one is built
// whole before anything is exchanged.
TEST_F(ConfigLoader, AllocationFailureAnywhereLeavesTheConfigurationWhole)
{
    if (!vxtest::AllocationFailuresAvailable()) GTEST_SKIP() << "no failing allocator in this build";
    htsPlugin plugin(kTag, { { "conf_filename", path } });
    LoadBaseline(plugin);
    const std::string before = Describe(plugin);

    // Only allocations of at least this size fail: every text below needs
    // one, while the JSON library's own bookkeeping for a document this
    // small does not (it allocates while destroying a document, where a
    // failure could only end the process).
    constexpr size_t kLarge = 96;
    const std::string tail(kLarge, 'x');
    Write(R"({"url": "http://127.0.0.1:8080/defaults/)" + tail + R"(",
        "headers": {"X-Defaults": ")" + tail + R"("},
        "timeout_connect": 3,
        "channels": {"a": {"url": "http://127.0.0.1:8080/a/)" + tail + R"("}}})");
    std::string after;
    {
        htsPlugin fresh(kTag, { { "conf_filename", path } });
        fresh.LoadConfig();
        after = Describe(fresh);
    }

    bool loaded = false;
    for (size_t n = 1; n < 100000 && !loaded; n++) {
        vxtest::FailAllocation(n, kLarge);
        try {
            plugin.LoadConfig();
            loaded = true;
        }
        catch (const std::exception &) {
        }
        const bool failed = vxtest::AllocationFailed();
        vxtest::FailAllocation(0);
        if (loaded) {
            EXPECT_FALSE(failed);
            EXPECT_EQ(Describe(plugin), after);
        }
        else {
            ASSERT_EQ(Describe(plugin), before) << "allocation " << n;
        }
    }
    EXPECT_TRUE(loaded);
}

} // namespace
