// The keys of parallel delivery: the mode, the in-flight limit and the
// backlog bound, with their inheritance and the values that fail a load.
#include <fstream>
#include <iterator>
#include <sstream>

#include <gtest/gtest.h>

#include "config/config_loader.h"
#include "vxexception.h"

namespace {

constexpr const char *kTag = "par";

htsConfiguration Read(const std::string &text)
{
    std::istringstream in(text);
    htsExpansionVariables vars;
    return htsReadConfiguration(kTag, "sink.json", in, vars);
}

TEST(ParallelConfig, ModeAndLimitsWithInheritance)
{
    htsConfiguration fresh = Read("{}");
    EXPECT_EQ(fresh.delivery, htsDeliveryMode::serial);
    EXPECT_EQ(fresh.defaults.max_in_flight, 1u);
    EXPECT_EQ(fresh.defaults.max_backlog_bytes, 64u << 20);

    htsConfiguration c = Read(R"({
        "delivery": "parallel", "max_in_flight": 8, "max_backlog_bytes": 1000,
        "channels": {
            "a": { "url": "http://h/a" },
            "b": { "url": "http://h/b", "max_in_flight": 32, "max_backlog_bytes": 0 },
            "c": { "url": "http://h/c", "max_backlog_bytes": 18446744073709551615 }
        } })");
    EXPECT_EQ(c.delivery, htsDeliveryMode::parallel);
    EXPECT_EQ(c.channels.at("a").max_in_flight, 8u);
    EXPECT_EQ(c.channels.at("a").max_backlog_bytes, 1000u);
    EXPECT_EQ(c.channels.at("b").max_in_flight, 32u);
    EXPECT_EQ(c.channels.at("b").max_backlog_bytes, 0u);
    EXPECT_EQ(c.channels.at("c").max_in_flight, 8u);
    EXPECT_EQ(c.channels.at("c").max_backlog_bytes, UINT64_MAX);
    EXPECT_EQ(Read(R"({ "delivery": "serial" })").delivery, htsDeliveryMode::serial);
    // Seen by the describing tools and the fuzzer's comparison.
    EXPECT_EQ(c.channels.at("b").Describe()["max_in_flight"], 32);
}

struct BadValue {
    const char *name;
    const char *text;
    const char *message;
};

void PrintTo(const BadValue &c, std::ostream *os) { *os << c.name; }

class ParallelConfigBadValue : public testing::TestWithParam<BadValue> { };

// A value that would be skipped silently leaves an operator with a mode or
// limit they did not ask for; each one fails the whole load instead.
TEST_P(ParallelConfigBadValue, FailsTheLoadNamingKeyAndValue)
{
    const BadValue &c = GetParam();
    try {
        Read(c.text);
        FAIL() << "loaded: " << c.text;
    }
    catch (const vxException &e) {
        EXPECT_EQ(std::string(e.what()), c.message);
    }
}

INSTANTIATE_TEST_SUITE_P(Keys, ParallelConfigBadValue,
    testing::Values(
        BadValue{ "mode_unknown", R"({"delivery":"fast"})", "par: invalid value for delivery: \"fast\"" },
        BadValue{ "mode_case", R"({"delivery":"Parallel"})", "par: invalid value for delivery: \"Parallel\"" },
        BadValue{ "mode_number", R"({"delivery":1})", "par: invalid value for delivery: 1" },
        BadValue{ "mode_null", R"({"delivery":null})", "par: invalid value for delivery: null" },
        BadValue{ "mode_array", R"({"delivery":["parallel"]})", "par: invalid value for delivery: [\"parallel\"]" },
        BadValue{ "in_flight_zero", R"({"channels":{"a":{"url":"u","max_in_flight":0}}})", "par: invalid value for max_in_flight: 0" },
        BadValue{ "in_flight_negative", R"({"channels":{"a":{"url":"u","max_in_flight":-4}}})", "par: invalid value for max_in_flight: -4" },
        BadValue{ "in_flight_string", R"({"channels":{"a":{"url":"u","max_in_flight":"8"}}})", "par: invalid value for max_in_flight: \"8\"" },
        BadValue{ "in_flight_float", R"({"channels":{"a":{"url":"u","max_in_flight":2.0}}})", "par: invalid value for max_in_flight: 2.0" },
        BadValue{ "in_flight_above_limit", R"({"channels":{"a":{"url":"u","max_in_flight":1025}}})", "par: invalid value for max_in_flight: 1025" },
        BadValue{ "in_flight_wraps_32_bits", R"({"channels":{"a":{"url":"u","max_in_flight":4294967297}}})", "par: invalid value for max_in_flight: 4294967297" },
        BadValue{ "in_flight_top_level", R"({"max_in_flight":0,"channels":{"a":{"url":"u"}}})", "par: invalid value for max_in_flight: 0" },
        BadValue{ "backlog_negative", R"({"max_backlog_bytes":-1})", "par: invalid value for max_backlog_bytes: -1" },
        BadValue{ "backlog_string", R"({"channels":{"a":{"url":"u","max_backlog_bytes":"64M"}}})", "par: invalid value for max_backlog_bytes: \"64M\"" },
        BadValue{ "backlog_bool", R"({"channels":{"a":{"url":"u","max_backlog_bytes":true}}})", "par: invalid value for max_backlog_bytes: true" }),
    [](const testing::TestParamInfo<BadValue> &info) { return std::string(info.param.name); });

TEST(ParallelConfig, DisabledChannelsValuesAreNotChecked)
{
    // A disabled channel is not loaded at all, its keys included.
    htsConfiguration c = Read(R"({"channels":{"off":{"enable":false,"max_in_flight":0}}})");
    EXPECT_TRUE(c.channels.empty());
}

// The example shows the keys commented out; taken in, they load as written.
TEST(ParallelConfig, ExampleKeysLoadWhenUncommented)
{
    std::ifstream in(VX_SOURCE_DIR "/examples/sink-http.json");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    int taken = 0;
    for (const char *key : { "\"delivery\"", "\"max_in_flight\"", "\"max_backlog_bytes\"" }) {
        for (size_t at; (at = text.find(std::string("// ") + key)) != std::string::npos; taken++)
            text.erase(at, 3);
    }
    EXPECT_EQ(taken, 4);
    htsConfiguration c = Read(text);
    EXPECT_EQ(c.delivery, htsDeliveryMode::parallel);
    EXPECT_EQ(c.channels.at("alerts").max_in_flight, 1u);
    EXPECT_EQ(c.channels.at("flows").max_in_flight, 8u);
    EXPECT_EQ(c.channels.at("flows").max_backlog_bytes, 64u << 20);
}

} // namespace
