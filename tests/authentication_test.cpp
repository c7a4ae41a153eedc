// Who sends: a bearer token that rotates in a file, and AWS Signature
// Version 4 checked by a collector that verifies each signature with
// botocore's signer; in both delivery modes.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "child_process.h"
#include "config/config_loader.h"
#include "loopback_server.h"
#include "running_plugin.h"
#include "test_support.h"

using namespace vxtest;
using namespace std::chrono_literals;

namespace {

// Replaces the file in one step, as a token refresher does.
void WriteToken(const std::filesystem::path &path, const std::string &token)
{
    const std::filesystem::path aside = path.string() + ".new";
    std::ofstream(aside) << token;
    std::filesystem::rename(aside, path);
}

std::string Mode(bool parallel) { return parallel ? R"("delivery": "parallel", )" : ""; }

class BearerToken : public PluginFixture<testing::TestWithParam<bool>> { };

// Posts until the collector sees `expected` as the last Authorization
// value, each post waited for; a rotation shows within about a second.
bool PostUntil(RunningPlugin &plugin, HttpServer &collector, const std::string &expected)
{
    for (int i = 0; i < 60; i++) {
        const size_t before = collector.RequestCount();
        plugin.Queue("{}", { "c" });
        if (!collector.WaitForRequests(before + 1)) return false;
        if (collector.Requests().back().Header("Authorization") == expected) return true;
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

} // namespace

TEST_P(BearerToken, RotatedTokenUsedWithoutAReloadAndLastOneKeptWhileUnreadable)
{
    HttpServer collector;
    collector.Start();
    TempDir dir;
    const std::filesystem::path token = dir.Path() / "token";
    WriteToken(token, "  tok-1\n");
    RunningPlugin plugin("{ " + Mode(GetParam()) + R"("channels": { "c": { "url": ")" + collector.Url("/in") +
        R"(", "bearer_token_file": ")" + token.string() + R"(" } } })");
    plugin.Start();
    ASSERT_TRUE(PostUntil(plugin, collector, "Bearer tok-1"));

    WriteToken(token, "tok-2");
    ASSERT_TRUE(PostUntil(plugin, collector, "Bearer tok-2"));

    // Gone: the last good token goes on, with one line for the episode
    // however many looks at the file fail.
    std::filesystem::remove(token);
    for (int i = 0; i < 3; i++) {
        std::this_thread::sleep_for(1100ms);
        ASSERT_TRUE(PostUntil(plugin, collector, "Bearer tok-2"));
    }
    EXPECT_EQ(log.Count("http-test: c: cannot read bearer_token_file " + token.string() +
                  ": No such file or directory; keeping the last token"),
        1u)
        << log.Text();

    WriteToken(token, "tok-3");
    ASSERT_TRUE(PostUntil(plugin, collector, "Bearer tok-3"));
    EXPECT_EQ(log.Count("http-test: c: bearer_token_file " + token.string() + " read again"), 1u);
    EXPECT_EQ(log.Text().find("tok-"), std::string::npos) << "a token reached the log";
}

INSTANTIATE_TEST_SUITE_P(Modes, BearerToken, testing::Bool(),
    [](const testing::TestParamInfo<bool> &info) { return info.param ? "parallel" : "serial"; });

struct AuthLoadCase {
    const char *name;
    const char *channel_keys; // inside the channel "c", after its URL
    const char *expected;     // the whole refusal; TOKEN stands for the token file's path
};

class AuthenticationKeys : public testing::TestWithParam<AuthLoadCase> { };

TEST_P(AuthenticationKeys, RefusedAtLoad)
{
    GlobalConfigScope global;
    TempDir dir;
    const std::string empty = dir.Write("empty", " \n");
    const std::string broken = dir.Write("broken", "a\nb");
    const std::string good = dir.Write("good", "t");
    std::string keys = GetParam().channel_keys;
    for (auto [from, to] : { std::pair{ "EMPTY", empty }, std::pair{ "BROKEN", broken }, std::pair{ "GOOD", good },
             std::pair{ "MISSING", (dir.Path() / "missing").string() } })
        for (size_t at; (at = keys.find(from)) != std::string::npos;) keys.replace(at, std::string(from).size(), to);
    htsExpansionVariables vars;
    std::istringstream in(R"({ "channels": { "c": { "url": "https://127.0.0.1/", )" + keys + " } } }");
    try {
        htsReadConfiguration("http", "test.json", in, vars);
        FAIL() << "loaded " << keys;
    }
    catch (const std::exception &e) {
        EXPECT_EQ(std::string(e.what()), GetParam().expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Keys, AuthenticationKeys,
    testing::Values(
        AuthLoadCase{ "token_missing", R"("bearer_token_file": "MISSING")",
            "http: c: cannot read bearer_token_file: No such file or directory" },
        AuthLoadCase{ "token_empty", R"("bearer_token_file": "EMPTY")",
            "http: c: cannot read bearer_token_file: no token in the file" },
        AuthLoadCase{ "token_line_break", R"("bearer_token_file": "BROKEN")",
            "http: c: cannot read bearer_token_file: the token holds a control character" },
        AuthLoadCase{ "token_not_text", R"("bearer_token_file": 1)", "http: invalid value for bearer_token_file: 1" },
        AuthLoadCase{ "sigv4_without_key", R"("aws_sigv4": "aws:amz:eu-west-1:es")",
            "http: c: aws_sigv4 needs aws_access_key_id and aws_secret_access_key" },
        AuthLoadCase{ "sigv4_and_token",
            R"("aws_sigv4": "aws:amz:r:s", "aws_access_key_id": "k", "aws_secret_access_key": "s", "bearer_token_file": "GOOD")",
            "http: c: aws_sigv4 and bearer_token_file cannot both be set" },
        AuthLoadCase{ "sigv4_odd_text", R"("aws_sigv4": "aws amz", "aws_access_key_id": "k", "aws_secret_access_key": "s")",
            "http: invalid value for aws_sigv4: \"aws amz\"" },
        AuthLoadCase{ "secret_not_text", R"("aws_secret_access_key": 5)", "http: invalid value for aws_secret_access_key: ***" }),
    [](const testing::TestParamInfo<AuthLoadCase> &info) { return info.param.name; });

class AwsSignature : public PluginFixture<testing::TestWithParam<bool>> { };

// Every post is signed as the verifying collector expects; the secret
// appears nowhere in the log, debug trace included.
TEST_P(AwsSignature, EveryPostVerifiesAgainstBotocoresSigner)
{
    if (std::system("python3 -c 'import botocore' >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "python3-botocore not installed (scripts/setup installs it)";
    ChildProcess verifier({ "/usr/bin/python3", VX_SOURCE_DIR "/tests/support/sigv4_collector.py", "AKIDEXAMPLE",
        "SECRET-sk-42", "eu-west-1", "es" });
    ASSERT_TRUE(verifier.WaitForStderr("port ", 1, 20s)) << verifier.Stderr();
    const std::string said = verifier.Stderr();
    const size_t at = said.find("port ");
    ASSERT_NE(at, std::string::npos);
    const std::string port = std::to_string(std::stoi(said.substr(at + 5)));

    // A second channel without signing shares the handle in serial delivery:
    // it must not inherit the signature.
    HttpServer plain;
    plain.Start();
    global.config.flags.Set(vxGlobalConfig::DEBUG_CURL);
    global.config.conf_vars["${secret}"] = "SECRET-sk-42";
    RunningPlugin plugin("{ " + Mode(GetParam()) + R"("channels": {
        "signed": { "url": "http://127.0.0.1:)" + port + R"(/_bulk?x=1", "aws_sigv4": "aws:amz:eu-west-1:es",
                    "aws_access_key_id": "AKIDEXAMPLE", "aws_secret_access_key": "${secret}",
                    "headers": { "X-Tenant": "t1" } },
        "plain": { "url": ")" + plain.Url("/in") + R"(" } } })");
    
    plugin.Start();
    constexpr int payloads = 12;
    for (int i = 0; i < payloads; i++)
        plugin.Queue(R"({"n":)" + std::to_string(i) + R"(,"text":"é \u0001"})", { "signed", "plain" },
            i % 2 ? vxPlugin::FORMAT_JSON : vxPlugin::FORMAT_MSGPACK);
    ASSERT_TRUE(verifier.WaitForStderr("valid", payloads, 30s)) << verifier.Stderr();
    ASSERT_TRUE(plain.WaitForRequests(payloads));
    EXPECT_EQ(verifier.StderrCount("invalid"), 0u) << verifier.Stderr();
    for (const RecordedRequest &r : plain.Requests()) EXPECT_EQ(r.Header("Authorization"), "");
    plugin.Terminate();
    EXPECT_EQ(log.Count("HTTP: 403"), 0u) << log.Text();
    EXPECT_EQ(log.Text().find("SECRET-sk-42"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Modes, AwsSignature, testing::Bool(),
    [](const testing::TestParamInfo<bool> &info) { return info.param ? "parallel" : "serial"; });
