// The keys that tune a parallel channel to its collectors: the adaptive
// in-flight limit, fallback URLs and connection rotation, with their
// inheritance, what each refuses, and their refusal under serial delivery.
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "config/config_loader.h"
#include "vxexception.h"

namespace {

constexpr const char *kTag = "tune";

htsConfiguration Read(const std::string &text, htsExpansionVariables vars = {})
{
    std::istringstream in(text);
    return htsReadConfiguration(kTag, "sink.json", in, vars);
}

TEST(ParallelTuningConfig, DefaultsInheritanceAndDescription)
{
    const htsChannelConfig fresh = Read(R"({"channels":{"a":{"url":"http://h/a"}}})").channels.at("a");
    EXPECT_FALSE(fresh.max_in_flight_auto);
    EXPECT_EQ(fresh.max_in_flight, 1u);
    EXPECT_EQ(fresh.max_in_flight_limit, 64u);
    EXPECT_TRUE(fresh.fallback_urls.empty());
    EXPECT_EQ(fresh.connection_max_age_ms, 0u);
    EXPECT_EQ(fresh.connection_max_requests, 0u);

    htsConfiguration c = Read(R"({
        "delivery": "parallel", "max_in_flight": "auto", "max_in_flight_limit": 20,
        "fallback_urls": ["http://${host}:81/x"], "connection_max_age_ms": 1500, "connection_max_requests": 7,
        "channels": {
            "inherits": { "url": "http://h/a" },
            "own_limit": { "url": "http://h/b", "max_in_flight_limit": 3 },
            "fixed": { "url": "http://h/c", "max_in_flight": 5 },
            "own_urls": { "url": "http://h/d", "fallback_urls": ["http://u:secret@b/d", "http://c/d"],
                          "connection_max_age_ms": 0, "connection_max_requests": 0 }
        } })",
        { { "${host}", "backup" } });
    const htsChannelConfig &inherits = c.channels.at("inherits");
    EXPECT_TRUE(inherits.max_in_flight_auto);
    // The ceiling is what the engine sizes everything else by.
    EXPECT_EQ(inherits.max_in_flight, 20u);
    EXPECT_EQ(inherits.fallback_urls, std::vector<std::string>{ "http://backup:81/x" });
    EXPECT_EQ(inherits.connection_max_age_ms, 1500u);
    EXPECT_EQ(inherits.connection_max_requests, 7u);
    EXPECT_TRUE(c.channels.at("own_limit").max_in_flight_auto);
    EXPECT_EQ(c.channels.at("own_limit").max_in_flight, 3u);
    EXPECT_FALSE(c.channels.at("fixed").max_in_flight_auto);
    EXPECT_EQ(c.channels.at("fixed").max_in_flight, 5u);
    const htsChannelConfig &own = c.channels.at("own_urls");
    EXPECT_EQ(own.fallback_urls.size(), 2u);
    EXPECT_EQ(own.connection_max_age_ms, 0u);

    // "auto" is shown as the file wrote it, passwords of every URL masked.
    EXPECT_EQ(inherits.Describe()["max_in_flight"], "auto");
    EXPECT_EQ(inherits.Describe()["max_in_flight_limit"], 20);
    EXPECT_EQ(c.channels.at("fixed").Describe()["max_in_flight"], 5);
    EXPECT_EQ(own.DescribeMasked()["fallback_urls"], nlohmann::json({ "http://u:***@b/d", "http://c/d" }));
}

struct BadValue {
    const char *name;
    const char *text;
    const char *message;
};

void PrintTo(const BadValue &c, std::ostream *os) { *os << c.name; }

class ParallelTuningBadValue : public testing::TestWithParam<BadValue> { };

TEST_P(ParallelTuningBadValue, FailsTheLoadWithItsLine)
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

INSTANTIATE_TEST_SUITE_P(Keys, ParallelTuningBadValue,
    testing::Values(
        BadValue{ "auto_misspelt", R"({"delivery":"parallel","max_in_flight":"Auto"})", "tune: invalid value for max_in_flight: \"Auto\"" },
        BadValue{ "auto_empty", R"({"delivery":"parallel","max_in_flight":""})", "tune: invalid value for max_in_flight: \"\"" },
        BadValue{ "limit_zero", R"({"delivery":"parallel","max_in_flight_limit":0})", "tune: invalid value for max_in_flight_limit: 0" },
        BadValue{ "limit_above", R"({"delivery":"parallel","channels":{"a":{"url":"u","max_in_flight_limit":1025}}})", "tune: invalid value for max_in_flight_limit: 1025" },
        BadValue{ "limit_text", R"({"delivery":"parallel","max_in_flight_limit":"auto"})", "tune: invalid value for max_in_flight_limit: \"auto\"" },
        BadValue{ "fallback_text", R"({"delivery":"parallel","fallback_urls":"http://b/"})", "tune: invalid value for fallback_urls: \"http://b/\"" },
        BadValue{ "fallback_number", R"({"delivery":"parallel","channels":{"a":{"url":"u","fallback_urls":["http://b/",3]}}})", "tune: invalid value for fallback_urls: 3" },
        // An element that is refused is shown alone: the other URLs may
        // carry passwords.
        BadValue{ "fallback_empty", R"({"delivery":"parallel","fallback_urls":["http://u:pw@b/",""]})", "tune: invalid value for fallback_urls: \"\"" },
        BadValue{ "age_negative", R"({"delivery":"parallel","connection_max_age_ms":-1})", "tune: invalid value for connection_max_age_ms: -1" },
        BadValue{ "age_above_a_day", R"({"delivery":"parallel","connection_max_age_ms":86400001})", "tune: invalid value for connection_max_age_ms: 86400001" },
        BadValue{ "requests_text", R"({"delivery":"parallel","channels":{"a":{"url":"u","connection_max_requests":"10"}}})", "tune: invalid value for connection_max_requests: \"10\"" },
        BadValue{ "requests_wide", R"({"delivery":"parallel","connection_max_requests":4294967296})", "tune: invalid value for connection_max_requests: 4294967296" },
        // Serial delivery would ignore each of them.
        BadValue{ "serial_auto", R"({"max_in_flight":"auto"})", "tune: max_in_flight needs \"delivery\": \"parallel\"" },
        BadValue{ "serial_limit", R"({"channels":{"a":{"url":"u","max_in_flight_limit":8}}})", "tune: max_in_flight_limit needs \"delivery\": \"parallel\"" },
        BadValue{ "serial_fallback", R"({"delivery":"serial","channels":{"a":{"url":"u","fallback_urls":["http://b/"]}}})", "tune: fallback_urls needs \"delivery\": \"parallel\"" },
        BadValue{ "serial_age", R"({"connection_max_age_ms":1000})", "tune: connection_max_age_ms needs \"delivery\": \"parallel\"" },
        BadValue{ "serial_requests", R"({"channels":{"a":{"url":"u","connection_max_requests":1}}})", "tune: connection_max_requests needs \"delivery\": \"parallel\"" }),
    [](const testing::TestParamInfo<BadValue> &info) { return std::string(info.param.name); });

TEST(ParallelTuningConfig, SerialDeliveryTakesTheDefaultsAndAFixedLimit)
{
    // Values equal to the defaults change nothing, so serial delivery takes
    // them as it takes "retries": 0.
    EXPECT_NO_THROW(Read(R"({"max_in_flight":4,"max_in_flight_limit":64,"fallback_urls":[],
        "connection_max_age_ms":0,"connection_max_requests":0,"channels":{"a":{"url":"u"}}})"));
}

} // namespace
