// The loader's warnings: what in a file that loads is likely a mistake. Each
// kind in a table, and proof that noting them changes nothing that loads.
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config_loader.h"
#include "test_support.h"

namespace {

htsConfiguration Load(const std::string &text)
{
    htsExpansionVariables vars = { { "${token}", "Bearer t" } };
    std::istringstream in(text);
    return htsReadConfiguration("w", "w.json", in, vars);
}

struct WarningCase {
    const char *name;
    std::string file;
    std::vector<std::string> warnings;
};

void PrintTo(const WarningCase &c, std::ostream *os) { *os << c.name; }

class ConfigWarnings : public testing::TestWithParam<WarningCase> { };

TEST_P(ConfigWarnings, AreNotedInOrder)
{
    const WarningCase &c = GetParam();
    htsConfiguration loaded;
    ASSERT_NO_THROW(loaded = Load(c.file));
    EXPECT_EQ(loaded.warnings, c.warnings);
}

const std::string url = R"("url": "https://collector.example/in")";

INSTANTIATE_TEST_SUITE_P(Kinds, ConfigWarnings,
    testing::Values(
        WarningCase{ "clean", R"({ "timeout_connect": 5, "channels": { "a": { )" + url +
                R"(, "enable": true, "headers": { "Authorization": "${token}" } } } })",
            {} },
        WarningCase{ "unknown_top_level_key_near_a_known_one", R"({ "timout_connect": 5, "chanels": {} })",
            { R"(top level: unknown key "chanels"; did you mean "channels"?)",
                R"(top level: unknown key "timout_connect"; did you mean "timeout_connect"?)" } },
        WarningCase{ "unknown_channel_keys", R"({ "channels": { "a": { )" + url +
                R"(, "URL": "x", "colour": "red", "tls_verfy": true, "channels": {} } } })",
            { R"(channel "a": unknown key "URL"; did you mean "url"?)",
                R"(channel "a": unknown key "channels")", R"(channel "a": unknown key "colour")",
                R"(channel "a": unknown key "tls_verfy"; did you mean "tls_verify"?)" } },
        // "enable" belongs to channels only; the top level has no use for it.
        WarningCase{ "channel_key_at_the_top_level", R"({ "enable": false })",
            { R"(top level: unknown key "enable")" } },
        WarningCase{ "values_skipped_for_their_type",
            R"({ "tls_verify": "no", "channels": { "a": { )" + url +
                R"(, "timeout_connect": "30", "timeout_transfer": -1, "tls_version1": 1, "headers": [],
                     "enable": "yes" } } })",
            { R"(top level: "tls_verify" is a string, expected true or false; the value is ignored)",
                R"(channel "a": "enable" is not true or false; the channel is enabled)",
                R"(channel "a": "timeout_connect" is a string, expected a non-negative integer; the value is ignored)",
                R"(channel "a": "timeout_transfer" is a negative integer, expected a non-negative integer; the value is ignored)",
                R"(channel "a": "tls_version1" is an integer, expected true or false; the value is ignored)",
                R"(channel "a": "headers" is an array, expected an object; the value is ignored)" } },
        // Inherited from the top level, so every channel that takes it.
        WarningCase{ "verification_off", R"({ "tls_verify": false, "channels": { "a": { )" + url +
                R"( }, "b": { )" + url + R"(, "tls_verify": true } } })",
            { R"(channel "a": tls_verify is false: the collector's certificate and host name are not checked)" } },
        WarningCase{ "credentials_over_plain_http",
            R"({ "channels": { "plain": { "url": "HTTP://collector/in", "headers": { "authorization": "${token}" } },
                 "secure": { )" + url + R"(, "headers": { "Authorization": "${token}" } },
                 "other": { "url": "http://collector/in", "headers": { "X-Key": "k" } } } })",
            { R"(channel "plain": the Authorization header is sent in clear text over http://)" } },
        WarningCase{ "no_time_limit", R"({ "timeout_connect": 0, "channels": { "a": { )" + url +
                R"(, "timeout_transfer": 0 } } })",
            { R"(channel "a": timeout_connect is 0: no time limit to connect)",
                R"(channel "a": timeout_transfer is 0: no time limit for a post)" } },
        // A switched-off channel is not in force: nothing in it is noted.
        WarningCase{ "disabled_channel", R"({ "channels": { "off": { "enable": false, "colour": 1, "timeout_connect": 0 } } })",
            {} },
        // Names from the file cannot break the line.
        WarningCase{ "names_escaped", "{ \"channels\": { \"a\\nb\": { " + url + ", \"x\\ty\": 1 } } }",
            { R"(channel "a\nb": unknown key "x\ty")" } }),
    [](const testing::TestParamInfo<WarningCase> &info) { return std::string(info.param.name); });

// Warnings are noted, never acted on: a file loads into the same records
// with its mistakes as without them, and one that fails still fails.
TEST(ConfigWarningsChange, NothingThatLoads)
{
    const htsConfiguration with = Load(R"({ "timout": 1, "timeout_connect": "9", "channels": {
        "a": { )" + url + R"(, "colour": 1, "timeout_transfer": 0, "tls_verify": false } } })");
    const htsConfiguration without = Load(R"({ "channels": {
        "a": { )" + url + R"(, "timeout_transfer": 0, "tls_verify": false } } })");
    EXPECT_EQ(with.warnings.size(), 5u);
    EXPECT_EQ(with.defaults.Describe(), without.defaults.Describe());
    ASSERT_EQ(with.channels.size(), 1u);
    EXPECT_EQ(with.channels.at("a").Describe(), without.channels.at("a").Describe());

    vxtest::LogCapture log;
    EXPECT_THROW(Load(R"({ "colour": 1, "channels": { "a": { "colour": 2 } } })"), std::exception);
    EXPECT_TRUE(log.Lines().empty());
}

// A file of many mistakes, or of very long names, makes a short list.
TEST(ConfigWarningsChange, ManyOrLongMistakesStayShort)
{
    std::string keys;
    for (int i = 0; i < 150; i++) keys += "\"unknown" + std::to_string(i) + "\": 1, ";
    const htsConfiguration many = Load("{ " + keys + "\"channels\": {} }");
    ASSERT_EQ(many.warnings.size(), 101u);
    EXPECT_EQ(many.warnings.back(), "and more warnings, not listed");

    const std::string name(1 << 20, 'k');
    const htsConfiguration longer = Load("{ \"" + name + "\": 1 }");
    ASSERT_EQ(longer.warnings.size(), 1u);
    EXPECT_EQ(longer.warnings[0], "top level: unknown key \"" + std::string(64, 'k') + "...\"");
}

// The key list the warnings (and the schema's test) go by is the one the
// record and the loader read.
TEST(ConfigWarningsChange, KeyListHoldsEveryKeyOnce)
{
    std::set<std::string> names;
    for (const htsConfigKey &key : htsConfigurationKeys()) {
        EXPECT_TRUE(names.insert(key.name).second) << key.name;
        EXPECT_FALSE(key.type.empty()) << key.name;
    }
    for (const char *name : { "url", "headers", "timeout_connect", "tls_verify", "success_codes", "proxy",
             "tls_client_key_password", "channels", "enable" })
        EXPECT_EQ(names.count(name), 1u) << name;
}

} // namespace
