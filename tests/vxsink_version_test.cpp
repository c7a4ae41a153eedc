// vxsink --version: its own version, the libraries it runs with, and the
// identity of the plug-in it was given, as an instance of that plug-in
// answers it.
#include <curl/curl.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"
#include "test_support.h"
#include "vx_version.h"
#include "vxutils.h"

#ifdef VX_VXSINK_PATH

namespace {

struct VersionRun {
    std::optional<int> status;
    std::vector<std::string> lines; // standard output
    std::string errors;
};

// vxsink with `args`, its standard output gathered through a file.
VersionRun RunVxsink(const std::vector<std::string> &args)
{
    vxtest::TempDir dir;
    const std::string out = (dir.Path() / "stdout.txt").string();
    std::vector<std::string> argv = { "/bin/sh", "-c", "out=$1; shift; exec \"$@\" >\"$out\"", "sh", out,
        VX_VXSINK_PATH };
    argv.insert(argv.end(), args.begin(), args.end());

    VersionRun run;
    vxtest::ChildProcess child(argv);
    child.CloseInput();
    run.status = child.Wait();
    run.errors = child.Stderr();
    std::ifstream in(out);
    for (std::string line; std::getline(in, line);) run.lines.push_back(line);
    return run;
}

std::vector<std::string> OwnLines()
{
    return { std::string("vxsink ") + VX_SINK_HTTP_VERSION,
        "agent library: " + vx_get_version_and_features(false) };
}

// The libcurl line starts with the version of the library loaded at run
// time, which is the one the plug-in posts with.
bool IsCurlLine(const std::string &line)
{
    const std::string prefix = std::string("libcurl: ") + curl_version_info(CURLVERSION_NOW)->version;
    return line.compare(0, prefix.size(), prefix) == 0 &&
        (line.size() == prefix.size() || line[prefix.size()] == ' ');
}

TEST(VxsinkVersion, NamesThePluginAsItsInstanceAnswers)
{
    // Wherever --plugin stands, and in either of its forms.
    const std::vector<std::vector<std::string>> orders = {
        { "--version", "--plugin", VX_PLUGIN_PATH },
        { "--plugin", VX_PLUGIN_PATH, "--version" },
        { std::string("--plugin=") + VX_PLUGIN_PATH, "--version" },
    };
    for (const auto &args : orders) {
        VersionRun run = RunVxsink(args);
        EXPECT_EQ(run.status, 0) << args[0] << "\n" << run.errors;
        ASSERT_EQ(run.lines.size(), 6u) << args[0] << "\n" << run.errors;
        EXPECT_EQ(std::vector<std::string>(run.lines.begin(), run.lines.begin() + 2), OwnLines());
        EXPECT_TRUE(IsCurlLine(run.lines[2])) << run.lines[2];
        // The plug-in's version is the project's one version, as vxsink's is.
        EXPECT_EQ(std::vector<std::string>(run.lines.begin() + 3, run.lines.end()),
            (std::vector<std::string>{ "plug-in library: vornix-sink-http",
                "plug-in name: Vornix Agent HTTP Sink Plugin",
                std::string("plug-in version: ") + VX_SINK_HTTP_VERSION }));
        // Made and destroyed without a word: no configuration is read.
        EXPECT_EQ(run.errors, "");
    }
}

TEST(VxsinkVersion, WithoutAPluginNamesItselfAndItsLibrariesOnly)
{
    VersionRun run = RunVxsink({ "--version" });
    EXPECT_EQ(run.status, 0) << run.errors;
    ASSERT_EQ(run.lines.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(run.lines.begin(), run.lines.begin() + 2), OwnLines());
    EXPECT_TRUE(IsCurlLine(run.lines[2])) << run.lines[2];
    EXPECT_EQ(run.errors, "");

    VersionRun wrong = RunVxsink({ "--version=yes" });
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(wrong.errors.find("vxsink: --version takes no value\n"), std::string::npos) << wrong.errors;
}

// A library that is no plug-in of ours is refused as a run refuses it: the
// program's own lines, then the reason, and exit status 1.
TEST(VxsinkVersion, RefusesWhatARunRefuses)
{
    struct Case {
        std::string plugin;
        std::string message;
    };
    const std::string bad_dir = VX_BAD_PLUGIN_DIR;
    const std::vector<Case> cases = {
        { "/nonexistent/libvornix-sink-http.so.0", "cannot load plug-in: " },
        { VX_HOST_LIBRARY_PATH, "not a plug-in: no vx_plugin_abi record" },
        { bad_dir + "/libvx_bad_plugin_abi.so", "refused: built for agent ABI 24, this host has 25" },
        { bad_dir + "/libvx_bad_plugin_short.so", "refused: ABI record is 16 bytes, expected 32" },
        { bad_dir + "/libvx_bad_plugin_nofactory.so", "not a plug-in: no vxPluginInit factory" },
        { bad_dir + "/libvx_bad_plugin_nullfactory.so", "factory refused to create instance 'version'" },
    };
    for (const auto &c : cases) {
        VersionRun run = RunVxsink({ "--version", "--plugin", c.plugin });
        EXPECT_EQ(run.status, 1) << c.plugin;
        ASSERT_EQ(run.lines.size(), 3u) << c.plugin;
        EXPECT_EQ(run.lines[0], OwnLines()[0]);
        EXPECT_NE(run.errors.find("vxsink: " + c.plugin + ": " + c.message), std::string::npos)
            << c.plugin << "\n" << run.errors;
    }
}

} // namespace

#endif
