// Filling one channel record from JSON: accepted types, expansion, headers.
#include <gtest/gtest.h>

#include "config/channel_config.h"
#include "vxexception.h"

namespace {

using json = nlohmann::json;

std::map<std::string, std::string> Vars()
{
    return { { "${uuid_site}", "SITE-7" }, { "${empty}", "" }, { "${region}", "eu" } };
}

struct TypeCase {
    const char *name;
    const char *doc;
    uint32_t connect;
    uint32_t transfer;
    bool verify;
    bool version1;
    const char *url;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const TypeCase &c, std::ostream *os) { *os << c.name; }


class ChannelLoadTypes : public testing::TestWithParam<TypeCase> { };

// Start from non-default values so "left unchanged" is visible.
TEST_P(ChannelLoadTypes, AcceptsOnlyTheNamedTypes)
{
    const auto &c = GetParam();
    htsChannelConfig r;
    r.timeout_connect = 11;
    r.timeout_transfer = 22;
    r.tls_verify = false;
    r.tls_version1 = true;
    r.url = "old";
    auto vars = Vars();
    r.Load(vars, "chan", json::parse(c.doc));
    EXPECT_EQ(r.channel, "chan");
    EXPECT_EQ(r.timeout_connect, c.connect);
    EXPECT_EQ(r.timeout_transfer, c.transfer);
    EXPECT_EQ(r.tls_verify, c.verify);
    EXPECT_EQ(r.tls_version1, c.version1);
    EXPECT_EQ(r.url, c.url);
}

INSTANTIATE_TEST_SUITE_P(Channel, ChannelLoadTypes,
    testing::Values(
        TypeCase{ "all_set", R"({"timeout_connect":5,"timeout_transfer":60,"tls_verify":true,"tls_version1":false,"url":"http://h/${uuid_site}/${region}"})", 5, 60, true, false, "http://h/SITE-7/eu" },
        TypeCase{ "negative", R"({"timeout_connect":-5})", 11, 22, false, true, "old" },
        TypeCase{ "float", R"({"timeout_connect":2.5,"timeout_transfer":1e3})", 11, 22, false, true, "old" },
        TypeCase{ "string_numbers", R"({"timeout_connect":"30","tls_verify":"false","url":5})", 11, 22, false, true, "old" },
        TypeCase{ "bool_as_int", R"({"tls_verify":1,"tls_version1":0})", 11, 22, false, true, "old" },
        TypeCase{ "low_32_bits", R"({"timeout_transfer":4294967301})", 11, 5, false, true, "old" },
        TypeCase{ "zero", R"({"timeout_connect":0})", 0, 22, false, true, "old" },
        TypeCase{ "array", R"([{"timeout_connect":5}])", 11, 22, false, true, "old" },
        TypeCase{ "number", "42", 11, 22, false, true, "old" },
        TypeCase{ "null", "null", 11, 22, false, true, "old" },
        TypeCase{ "empty_url", R"({"url":""})", 11, 22, false, true, "" }),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ChannelHeaders, ExpandedStoredAndNeverOverwritten)
{
    htsChannelConfig r;
    r.headers["X-Keep"] = "first";
    auto vars = Vars();
    r.Load(vars, "chan", json::parse(R"({"headers":{
        "X-Site":"${uuid_site}", "X-Empty":"${empty}", "X-Blank":"", "X-Dash":"-", "X-Keep":"second"}})"));
    std::map<std::string, std::string> expected = {
        { "X-Blank", "-" }, { "X-Dash", "-" }, { "X-Empty", "-" }, { "X-Keep", "first" }, { "X-Site", "SITE-7" },
    };
    EXPECT_EQ(r.headers, expected);

    // An array is not a header object: ignored.
    htsChannelConfig q;
    q.Load(vars, "chan", json::parse(R"({"headers":["X-A: 1"]})"));
    EXPECT_TRUE(q.headers.empty());
}

TEST(ChannelHeaders, NonStringValueThrowsLibraryTypeError)
{
    for (const char *doc : { R"({"headers":{"X-A":"ok","X-N":5}})", R"({"headers":{"X-B":null}})",
             R"({"headers":{"X-C":{"x":1}}})" }) {
        htsChannelConfig r;
        auto vars = Vars();
        try {
            r.Load(vars, "chan", json::parse(doc));
            ADD_FAILURE() << doc;
        }
        catch (const json::type_error &e) {
            EXPECT_NE(std::string(e.what()).find("type must be string, but is"), std::string::npos) << e.what();
        }
    }
}

TEST(ChannelHeaders, LineBreakInHeaderIsRefused)
{
    struct Case {
        const char *doc;
        std::map<std::string, std::string> vars;
        const char *message;
    };
    const Case cases[] = {
        { R"({"headers":{"X-A":"v\r\nX-Evil: 1"}})", {}, "chan: invalid header value: X-A" },
        { R"({"headers":{"X-B":"v\nmore"}})", {}, "chan: invalid header value: X-B" },
        { R"({"headers":{"X-C":"${inject}"}})", { { "${inject}", "x\rEvil: 1" } }, "chan: invalid header value: X-C" },
        // The refused name is printed escaped, so the file cannot forge a
        // log line of its own.
        { R"({"headers":{"X-D\r\nEvil":"v"}})", {}, R"(chan: invalid header name: X-D\r\nEvil)" },
        { R"({"headers":{"X-E\u0001\t\n\u007f":"v"}})", {}, R"(chan: invalid header name: X-E\x01\t\n\x7f)" },
    };
    for (const auto &c : cases) {
        htsChannelConfig r;
        auto vars = c.vars;
        try {
            r.Load(vars, "chan", json::parse(c.doc));
            ADD_FAILURE() << c.doc;
        }
        catch (const vxException &e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

TEST(ChannelCopy, CopiesSettingsButNotHeaderLists)
{
    htsChannelConfig r;
    auto vars = Vars();
    r.Load(vars, "chan", json::parse(R"({"url":"http://h/","timeout_connect":7,"headers":{"X-A":"1"}})"));
    ASSERT_NE(r.GetHeaders(vxFlags<vxPlugin::DispatchFlags>(vxPlugin::FORMAT_JSON)), nullptr);
    ASSERT_NE(r.GetHeaders(vxFlags<vxPlugin::DispatchFlags>(vxPlugin::COMPRESS_GZIP)), nullptr);

    htsChannelConfig copy(r);
    EXPECT_EQ(copy.channel, "chan");
    EXPECT_EQ(copy.url, "http://h/");
    EXPECT_EQ(copy.timeout_connect, 7u);
    EXPECT_EQ(copy.headers, r.headers);
    EXPECT_EQ(copy.header_list, nullptr);
    EXPECT_EQ(copy.header_list_gz, nullptr);

    htsChannelConfig assigned;
    assigned.GetHeaders(vxFlags<vxPlugin::DispatchFlags>());
    assigned = r;
    EXPECT_EQ(assigned.url, "http://h/");
    EXPECT_EQ(assigned.header_list, nullptr);
    // Each record frees only its own lists; ASan/LSan builds catch a double
    // free or a leak here.
}

} // namespace
