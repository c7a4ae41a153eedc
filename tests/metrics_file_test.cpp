// The metrics file: the status in the Prometheus text format, checked by the
// format's own linter and served by a real node_exporter, with figures that a
// loopback collector's counts predict.
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "child_process.h"
#include "config/config_loader.h"
#include "loopback_server.h"
#include "plugin/metrics_text.h"
#include "running_plugin.h"
#include "test_support.h"

using namespace vxtest;

namespace {

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool HaveProgram(const std::string &name)
{
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// promtool's verdict on a metrics text: empty when it passes, else what it
// printed.
std::string PromtoolProblems(const std::string &text)
{
    TempDir dir;
    const std::string in = dir.Write("metrics.prom", text);
    const std::string out = (dir.Path() / "promtool.out").string();
    const int status = std::system(("promtool check metrics < '" + in + "' > '" + out + "' 2>&1").c_str());
    const std::string said = ReadFile(out);
    if (status == 0 && said.empty()) return {};
    return said.empty() ? "exit status " + std::to_string(status) : said;
}

// The value of the sample whose line starts with `series` (name and labels
// as written), or -1 when there is none.
double Sample(const std::string &text, const std::string &series)
{
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(series + " ", 0) == 0) return std::stod(line.substr(series.size() + 1));
    return -1;
}

} // namespace

TEST(MetricsText, RendersEveryFigureWithEscapedLabels)
{
    const nlohmann::json status = nlohmann::json::parse(R"({
        "tag": "ht\"p", "delivery": "parallel",
        "configuration": { "loads": 3, "failed_loads": 1, "loaded_at": "2026-12-10T15:20:47.500000Z" },
        "channels": {
            "a\\b\nc": { "posts": 10, "succeeded": 7, "answers": { "503": 2 }, "errors": { "7": 1 },
                         "body_bytes": 1234, "latency_ms": { "median": 1.5, "p99": 20, "samples": 10 },
                         "last_success_time": "2026-12-10T15:20:48Z",
                         "backlog_payloads": 4, "backlog_bytes": 400, "in_flight": 1, "dropped": 0,
                         "state": "down", "spool": { "files": 6, "bytes": 600, "rejected": 2, "spooled": 9,
                                                     "drained": 3, "moved_aside": 0, "lost": {} } },
            "plain": { "posts": 0, "succeeded": 0, "answers": {}, "errors": {}, "body_bytes": 0,
                       "latency_ms": { "median": null, "p99": null, "samples": 0 },
                       "last_success_time": null }
        } })");
    const std::string text = htsMetricsText(status);
    const std::string labels = R"({channel="a\\b\nc",tag="ht\"p")";
    struct Row {
        std::string series;
        double value;
    } rows[] = {
        { R"(vornix_sink_http_configuration_loads_total{tag="ht\"p"})", 3 },
        { R"(vornix_sink_http_configuration_failed_loads_total{tag="ht\"p"})", 1 },
        { R"(vornix_sink_http_configuration_loaded_timestamp_seconds{tag="ht\"p"})", 1796916047.5 },
        { R"(vornix_sink_http_parallel_delivery{tag="ht\"p"})", 1 },
        { "vornix_sink_http_posts_total" + labels + "}", 10 },
        { "vornix_sink_http_successes_total" + labels + "}", 7 },
        { R"(vornix_sink_http_answers_total{channel="a\\b\nc",code="503",tag="ht\"p"})", 2 },
        { R"(vornix_sink_http_errors_total{channel="a\\b\nc",code="7",tag="ht\"p"})", 1 },
        { "vornix_sink_http_body_bytes_total" + labels + "}", 1234 },
        { "vornix_sink_http_backlog_payloads" + labels + "}", 4 },
        { "vornix_sink_http_post_latency_median_seconds" + labels + "}", 0.0015 },
        { "vornix_sink_http_post_latency_p99_seconds" + labels + "}", 0.02 },
        { "vornix_sink_http_last_success_timestamp_seconds" + labels + "}", 1796916048 },
        { R"(vornix_sink_http_posts_total{channel="plain",tag="ht\"p"})", 0 },
        { "vornix_sink_http_channel_down" + labels + "}", 1 },
        { "vornix_sink_http_spool_files" + labels + "}", 6 },
        { "vornix_sink_http_spool_bytes" + labels + "}", 600 },
        { "vornix_sink_http_spool_rejected_files" + labels + "}", 2 },
        { "vornix_sink_http_spool_spooled_total" + labels + "}", 9 },
        { "vornix_sink_http_spool_drained_total" + labels + "}", 3 },
    };
    for (const Row &row : rows) EXPECT_DOUBLE_EQ(Sample(text, row.series), row.value) << row.series << "\n" << text;
    // A figure the status does not have is left out rather than shown as 0.
    EXPECT_EQ(Sample(text, R"(vornix_sink_http_post_latency_median_seconds{channel="plain",tag="ht\"p"})"), -1);
    EXPECT_EQ(text.find("retried"), std::string::npos);
    // Nor are a spool's figures for a channel without one.
    EXPECT_EQ(Sample(text, R"(vornix_sink_http_channel_down{channel="plain",tag="ht\"p"})"), -1);
    EXPECT_EQ(text.find("\nc\""), std::string::npos) << "a raw line break in a label";

    if (!HaveProgram("promtool")) GTEST_SKIP() << "promtool not installed (scripts/setup installs it)";
    EXPECT_EQ(PromtoolProblems(text), "");
}

TEST(MetricsText, CopesWithAStatusOfAnyShape)
{
    for (const char *shape : { "null", "[]", R"({"channels": 3})", R"({"channels": {"a": 1}})",
             R"({"configuration": {"loaded_at": "yesterday"}, "channels": {"a": {"answers": [1]}}})" }) {
        const std::string text = htsMetricsText(nlohmann::json::parse(shape));
        EXPECT_EQ(text.find("vornix_sink_http_posts_total"), std::string::npos) << shape;
    }
}

struct BadMetricsKey {
    const char *setting;
    const char *expected;
};

class MetricsConfigBadValue : public testing::TestWithParam<BadMetricsKey> { };

TEST_P(MetricsConfigBadValue, FailsTheLoad)
{
    GlobalConfigScope global;
    htsExpansionVariables vars;
    std::istringstream in(std::string("{ ") + GetParam().setting + ", \"channels\": {} }");
    try {
        htsReadConfiguration("http", "test.json", in, vars);
        FAIL() << "loaded " << GetParam().setting;
    }
    catch (const std::exception &e) {
        EXPECT_EQ(std::string(e.what()), GetParam().expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Keys, MetricsConfigBadValue,
    testing::Values(BadMetricsKey{ R"("metrics_file": 3)", "http: invalid value for metrics_file: 3" },
        BadMetricsKey{ R"("metrics_file": "/nonexistent-vx/m.prom")",
            "http: cannot write metrics_file: No such file or directory" },
        BadMetricsKey{ R"("metrics_interval_ms": 0)", "http: invalid value for metrics_interval_ms: 0" },
        BadMetricsKey{ R"("metrics_interval_ms": "1000")", "http: invalid value for metrics_interval_ms: \"1000\"" },
        BadMetricsKey{ R"("metrics_interval_ms": 1.5)", "http: invalid value for metrics_interval_ms: 1.5" }));

class MetricsFile : public PluginFixture<> { };

// A running instance writes the file as the figures change, and a real
// node_exporter serves what a loopback collector counted.
TEST_F(MetricsFile, NodeExporterServesTheCollectorsCounts)
{
    HttpServer collector;
    collector.Start();
    TempDir textfiles;
    const std::string file = (textfiles.Path() / "sink.prom").string();
    const int refused = UnusedLoopbackPort();
    RunningPlugin plugin(R"({ "delivery": "parallel", "metrics_file": ")" + file +
        R"(", "metrics_interval_ms": 100, "channels": {
            "ok": { "url": ")" + collector.Url("/in") + R"(" },
            "down": { "url": "http://127.0.0.1:)" + std::to_string(refused) + R"(/in" } } })");
    plugin.Start();
    constexpr int payloads = 25;
    for (int i = 0; i < payloads; i++) plugin.Queue("{\"n\":" + std::to_string(i) + "}", { "ok", "down" });
    ASSERT_TRUE(collector.WaitForRequests(payloads, std::chrono::seconds(30)));

    const std::string ok = R"({channel="ok",tag="http-test"})";
    const std::string down = R"({channel="down",tag="http-test"})";
    ASSERT_TRUE(WaitUntil([&] {
        const std::string text = ReadFile(file);
        return Sample(text, "vornix_sink_http_successes_total" + ok) == payloads &&
            Sample(text, "vornix_sink_http_posts_total" + down) == payloads;
    }, std::chrono::seconds(30))) << ReadFile(file);
    const std::string text = ReadFile(file);
    EXPECT_EQ(Sample(text, R"(vornix_sink_http_errors_total{channel="down",code="7",tag="http-test"})"), payloads);
    EXPECT_EQ(Sample(text, R"(vornix_sink_http_configuration_loads_total{tag="http-test"})"), 1);
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    // Only the file itself: its hidden temporary names are gone.
    size_t entries = 0;
    for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator(textfiles.Path())) entries++;
    EXPECT_EQ(entries, 1u);

    if (!HaveProgram("promtool") || !HaveProgram("prometheus-node-exporter"))
        GTEST_SKIP() << "promtool or node_exporter not installed (scripts/setup installs them)";
    EXPECT_EQ(PromtoolProblems(text), "");

    const int port = UnusedLoopbackPort();
    ChildProcess exporter({ "/usr/bin/prometheus-node-exporter", "--web.listen-address=127.0.0.1:" + std::to_string(port),
        "--collector.disable-defaults", "--collector.textfile",
        "--collector.textfile.directory=" + textfiles.Path().string() });
    httplib::Client client("127.0.0.1", port);
    std::string served;
    ASSERT_TRUE(WaitUntil([&] {
        auto answer = client.Get("/metrics");
        if (!answer || answer->status != 200) return false;
        served = answer->body;
        return true;
    }, std::chrono::seconds(20))) << exporter.Stderr();
    EXPECT_EQ(Sample(served, "vornix_sink_http_successes_total" + ok), payloads) << served;
    EXPECT_EQ(Sample(served, "vornix_sink_http_posts_total" + down), payloads);
    // The exporter reports a file it could not parse with this figure.
    EXPECT_EQ(Sample(served, "node_textfile_scrape_error"), 0);
    exporter.Signal(SIGTERM);
    exporter.Wait();
}

// The last figures are written as the instance stops, and a folder that
// went away is reported once, not at every interval, until a write works
// again.
TEST_F(MetricsFile, WritesAtStopAndReportsAFailingFolderOnce)
{
    HttpServer collector;
    collector.Start();
    TempDir textfiles;
    const std::string folder = (textfiles.Path() / "m").string();
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    const std::string file = folder + "/sink.prom";
    RunningPlugin plugin(R"({ "metrics_file": ")" + file + R"(", "metrics_interval_ms": 100,
        "channels": { "ok": { "url": ")" + collector.Url("/in") + R"(" } } })");
    plugin.Start();
    ASSERT_TRUE(WaitUntil([&] { return !ReadFile(file).empty(); }));

    std::filesystem::remove_all(folder);
    ASSERT_TRUE(log.WaitFor("http-test: cannot write metrics_file " + file + ": No such file or directory"));
    // Several intervals pass without another line.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(log.Count("cannot write metrics_file"), 1u);
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    ASSERT_TRUE(log.WaitFor("http-test: metrics_file " + file + " written again"));

    // A long interval from here on: what the file shows after the stop was
    // written by the stop.
    plugin.WriteConfig(R"({ "metrics_file": ")" + file + R"(", "metrics_interval_ms": 3600000,
        "channels": { "ok": { "url": ")" + collector.Url("/in") + R"(" } } })");
    plugin.Reload();
    const auto status = [&] {
        nlohmann::json s;
        plugin.Sink().GetStatus(s);
        return s;
    };
    ASSERT_TRUE(WaitUntil([&] { return status()["configuration"]["loads"] == 2; }));
    ASSERT_TRUE(WaitUntil([&] {
        return Sample(ReadFile(file), R"(vornix_sink_http_configuration_loads_total{tag="http-test"})") == 2;
    }));
    plugin.Queue("{}", { "ok" });
    ASSERT_TRUE(WaitUntil([&] { return status()["channels"]["ok"]["succeeded"] == 1; }));
    plugin.Terminate();
    EXPECT_EQ(Sample(ReadFile(file), R"(vornix_sink_http_successes_total{channel="ok",tag="http-test"})"), 1);
}
