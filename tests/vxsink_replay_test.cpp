#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ostream>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "child_process.h"
#include "loopback_server.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// A spool folder as the replay meets it; `outside` is a folder beside it for
// what links may point to.
struct ReplayCase {
    std::string name;
    void (*arrange)(const fs::path &spool, const fs::path &outside);
    std::string summary;
    int exit_status;
    size_t posts;           // requests the collector received
    size_t left_in_spool;   // entries still in the spool folder afterwards
};

void PrintTo(const ReplayCase &c, std::ostream *os)
{
    *os << c.name;
}

// A channel whose name holds a NUL, beside one that works.
const std::string nul_channel = std::string("a\0b", 3);

std::string SpoolText(const std::string &channel, uint32_t flags, const std::string &body)
{
    nlohmann::json head = { { "channel", channel }, { "flags", flags }, { "length", body.size() } };
    return head.dump() + "\n" + body;
}

void Write(const fs::path &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

class VxsinkReplay : public ::testing::TestWithParam<ReplayCase>
{
};

TEST_P(VxsinkReplay, DecidesEachFileFromTheChannelsOwnFigures)
{
    const ReplayCase &c = GetParam();
    vxtest::HttpServer server;
    server.Server().Post("/ok", server.Recording([](const httplib::Request &, httplib::Response &res) {
        res.status = 200;
    }));
    server.Server().Post("/fail", server.Recording([](const httplib::Request &, httplib::Response &res) {
        res.status = 503;
    }));
    server.Start();

    vxtest::TempDir spool, outside, dir;
    c.arrange(spool.Path(), outside.Path());
    nlohmann::json config = { { "channels",
        { { "ok", { { "url", server.Url("/ok") } } }, { nul_channel, { { "url", server.Url("/fail") } } } } } };
    const std::string config_path = dir.Write("sink.json", config.dump());

    vxtest::ChildProcess child({ VX_VXSINK_PATH, "--replay", spool.Path().string(), "--plugin", VX_PLUGIN_PATH,
        "--config", config_path, "--tag", "r" });
    child.CloseInput();
    const auto status = child.Wait(60s);
    const std::string log = child.Stderr();
    ASSERT_TRUE(status.has_value()) << log;
    EXPECT_EQ(*status, c.exit_status) << log;
    EXPECT_NE(log.find(c.summary + "\n"), std::string::npos) << log;
    EXPECT_EQ(server.RequestCount(), c.posts) << log;
    size_t left = 0;
    for (const auto &e : fs::directory_iterator(spool.Path())) {
        (void)e;
        left++;
    }
    EXPECT_EQ(left, c.left_in_spool) << log;
}

INSTANTIATE_TEST_SUITE_P(Folders, VxsinkReplay,
    ::testing::Values(
        // The failed post's log line is cut at the NUL; the file stays.
        ReplayCase { "FailedPostOnChannelWithNul",
            [](const fs::path &spool, const fs::path &) { Write(spool / "1.spool", SpoolText(nul_channel, 1, "x")); },
            "vxsink: replay: 0 sent, 1 kept, 0 skipped", 1, 1, 1 },
        ReplayCase { "SentFileIsDeleted",
            [](const fs::path &spool, const fs::path &) { Write(spool / "1.spool", SpoolText("ok", 1, "x")); },
            "vxsink: replay: 1 sent, 0 kept, 0 skipped", 0, 1, 0 },
        // A link loop cannot be examined: reported, skipped, the rest sent.
        ReplayCase { "SymlinkLoopIsSkipped",
            [](const fs::path &spool, const fs::path &) {
                fs::create_symlink(spool / "0.spool", spool / "0.spool");
                Write(spool / "1.spool", SpoolText("ok", 1, "x"));
            },
            "vxsink: replay: 1 sent, 0 kept, 1 skipped", 0, 1, 1 },
        // A spool-format file elsewhere is not posted through a link.
        ReplayCase { "SymlinkToSpoolFileIsNotFollowed",
            [](const fs::path &spool, const fs::path &outside) {
                Write(outside / "secret", SpoolText("ok", 1, "x"));
                fs::create_symlink(outside / "secret", spool / "1.spool");
            },
            "vxsink: replay: 0 sent, 0 kept, 1 skipped", 0, 0, 1 },
        ReplayCase { "UnknownFlagsAreKept",
            [](const fs::path &spool, const fs::path &) {
                Write(spool / "1.spool", SpoolText("ok", 0x02, "x"));
                Write(spool / "2.spool", SpoolText("ok", 0x21, "y"));
            },
            "vxsink: replay: 1 sent, 1 kept, 0 skipped", 1, 1, 1 },
        // A file the plug-in moved aside waits for an operator.
        ReplayCase { "MovedAsideFileIsSkipped",
            [](const fs::path &spool, const fs::path &) {
                Write(spool / "1.spool.broken", SpoolText("ok", 1, "x"));
                Write(spool / "2.spool", SpoolText("ok", 1, "y"));
            },
            "vxsink: replay: 1 sent, 0 kept, 1 skipped", 0, 1, 1 }),
    [](const ::testing::TestParamInfo<ReplayCase> &info) { return info.param.name; });

} // namespace
