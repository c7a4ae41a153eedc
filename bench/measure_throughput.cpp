#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "measures.h"
#include "records.h"

namespace vxbench {

void RequireQuietLog(AgentScope &agent, const char *what)
{
    std::vector<std::string> lines = agent.TakeLog();
    if (lines.empty()) return;
    std::string text = std::string(what) + ": the plug-in reported:\n";
    for (const std::string &line : lines) text += "  " + line;
    throw std::runtime_error(text);
}

namespace {

std::vector<size_t> ParseSizes(const std::string &list)
{
    std::vector<size_t> sizes;
    std::stringstream in(list);
    std::string item;
    while (std::getline(in, item, ',')) sizes.push_back(std::stoul(item));
    return sizes;
}

// Distinct bodies, enough that the small ones are not all one hot cache
// line, few enough that the large ones stay within a modest footprint.
size_t PoolCount(size_t body_size)
{
    return std::clamp<size_t>((32u << 20) / std::max<size_t>(body_size, 1), 4, 64);
}

// CPU time of the whole process (every thread), in seconds.
double ProcessCpuSeconds()
{
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Checks that the target answers 200, takes the whole body and keeps the
// connection open: without that the figures would not mean full posts over
// one connection.
void CheckTarget(BareLoop &bare, const std::string &out)
{
    PayloadPool probe(1u << 20, 1);
    for (int i = 0; i < 2; ++i) {
        if (!bare.Post(probe[0]))
            throw std::runtime_error(std::string("target does not answer 200: ") + bare.LastError());
    }
    const curl_off_t uploaded = bare.LastUploaded();
    const bool reused = bare.LastReusedConnection();
    AppendRecord(out, "probe", { { "body_bytes", probe[0].length }, { "uploaded_bytes", uploaded },
                                   { "reused_connection", reused } });
    if (uploaded != static_cast<curl_off_t>(probe[0].length))
        throw std::runtime_error("target did not take the whole body");
    if (!reused) printf("warning: the target closed the connection between posts\n");
}

} // namespace

int MeasureThroughput(const Args &args)
{
    const std::string url = args.Require("url");
    const std::string out = args.Require("out");
    const std::string plugin_path = args.Get("plugin", VX_PLUGIN_PATH);
    // How the runs were placed on the CPUs, named by the caller.
    const std::string label = args.Get("label", "free");
    const long rounds = args.GetLong("rounds", 26);
    const double seconds = args.GetDouble("seconds", 0.2);
    const std::vector<size_t> sizes = ParseSizes(args.Get("sizes", "64,1024,65536,1048576"));
    const std::chrono::milliseconds timeout(120000);

    AgentScope agent;
    TempDir dir;
    const std::string conf = dir.Write("bench.json", ChannelConfigText(url));

    BareLoop bare(url);
    CheckTarget(bare, out);

    PluginLibrary library(plugin_path);
    PluginPtr plugin = library.Start("bench", conf);
    ReleaseCounter counter;
    // Every post of this command, to hold against the collector's count.
    size_t posts = 2;

    for (size_t size : sizes) {
        PayloadPool pool(size, PoolCount(size));

        // The run length follows the machine: as many posts as the bare loop
        // makes in about `seconds`.
        size_t calibrate = 0;
        Clock::time_point start = Clock::now();
        while (SecondsSince(start) < 0.25) {
            TimeBarePosts(bare, pool, 1);
            ++calibrate;
        }
        const double rate = static_cast<double>(calibrate) / SecondsSince(start);
        const size_t count = std::max<size_t>(20, static_cast<size_t>(rate * seconds));

        TimePluginPosts(*plugin, pool, count / 4 + 1, counter, timeout);
        RequireQuietLog(agent, "warm-up");
        posts += calibrate + count / 4 + 1 + static_cast<size_t>(rounds) * 2 * count;

        for (long round = 1; round <= rounds; ++round) {
            // The order turns every round, so a drift in the machine's load
            // over the run favours neither side.
            double a = 0, b = 0, cpu_a = 0, cpu_b = 0;
            auto run_plugin = [&] {
                const double cpu = ProcessCpuSeconds();
                a = static_cast<double>(count) / TimePluginPosts(*plugin, pool, count, counter, timeout);
                cpu_a = (ProcessCpuSeconds() - cpu) / static_cast<double>(count) * 1e6;
                RequireQuietLog(agent, "throughput");
            };
            auto run_bare = [&] {
                const double cpu = ProcessCpuSeconds();
                b = static_cast<double>(count) / TimeBarePosts(bare, pool, count);
                cpu_b = (ProcessCpuSeconds() - cpu) / static_cast<double>(count) * 1e6;
            };
            if (round % 2) {
                run_plugin();
                run_bare();
            }
            else {
                run_bare();
                run_plugin();
            }
            AppendRecord(out, "throughput",
                { { "placement", label }, { "body_bytes", size }, { "round", round }, { "posts", count },
                    { "plugin_posts_per_s", Rounded(a, 1) }, { "bare_posts_per_s", Rounded(b, 1) },
                    { "plugin_cpu_us_per_post", Rounded(cpu_a, 3) },
                    { "bare_cpu_us_per_post", Rounded(cpu_b, 3) } });
            printf("  %-6s %8zu B  round %2ld  %6zu posts  plug-in %9.1f/s  bare %9.1f/s  ratio %.3f"
                   "  CPU us/post %.1f %.1f\n",
                label.c_str(), size, round, count, a, b, a / b, cpu_a, cpu_b);
            fflush(stdout);
        }
    }

    plugin.reset();
    RequireQuietLog(agent, "stop");
    AppendRecord(out, "throughput_posts", { { "placement", label }, { "posts", posts } });
    return 0;
}

} // namespace vxbench
