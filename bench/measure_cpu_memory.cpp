#include <sys/resource.h>

#include <cstdio>
#include <stdexcept>

#include "measures.h"
#include "records.h"

namespace vxbench {

// The body of one process run under an instruction counter. The same work
// runs for two counts and the difference gives the cost of one post, free
// of start-up: loading, the first connection and the first header list.
//
// "plugin" posts through the plug-in; "bare" posts with the bare loop while
// the plug-in is loaded and its thread waits, idle, so both processes have
// the same threads (and the allocator runs its multi-threaded paths in both,
// as it always does in the agent); "bare-single" is the bare loop alone in a
// single-threaded process.
int RunCpuWorkload(const Args &args)
{
    const std::string mode = args.Require("mode");
    const std::string url = args.Require("url");
    const std::string plugin_path = args.Get("plugin", VX_PLUGIN_PATH);
    const size_t count = static_cast<size_t>(args.GetLong("count", 1000));
    const size_t size = static_cast<size_t>(args.GetLong("size", 1024));
    const std::chrono::milliseconds timeout(600000);
    if (mode != "plugin" && mode != "bare" && mode != "bare-single")
        throw std::runtime_error("--mode must be plugin, bare or bare-single");

    AgentScope agent;
    PayloadPool pool(size, 64);
    TempDir dir;
    const std::string conf = dir.Write("bench.json", ChannelConfigText(url));

    std::unique_ptr<PluginLibrary> library;
    PluginPtr plugin;
    if (mode != "bare-single") {
        library = std::make_unique<PluginLibrary>(plugin_path);
        plugin = library->Start("bench", conf);
    }

    if (mode == "plugin") {
        ReleaseCounter counter;
        TimePluginPosts(*plugin, pool, 1, counter, timeout);
        TimePluginPosts(*plugin, pool, count, counter, timeout);
    }
    else {
        BareLoop bare(url);
        TimeBarePosts(bare, pool, 1);
        TimeBarePosts(bare, pool, count);
    }

    plugin.reset();
    RequireQuietLog(agent, "cpu");
    return 0;
}

// Peak resident memory of a process that starts the plug-in and builds one
// large payload, and in "post" mode also hands it over and waits until it is
// posted. The difference is what posting costs on top of the payload itself.
int MeasureMemory(const Args &args)
{
    const std::string mode = args.Require("mode");
    const std::string url = args.Require("url");
    const std::string out = args.Require("out");
    const std::string plugin_path = args.Get("plugin", VX_PLUGIN_PATH);
    const size_t size = static_cast<size_t>(args.GetLong("size", 256l << 20));
    if (mode != "post" && mode != "build") throw std::runtime_error("--mode must be post or build");

    AgentScope agent;
    TempDir dir;
    const std::string conf = dir.Write("bench.json", ChannelConfigText(url));
    PluginLibrary library(plugin_path);
    PluginPtr plugin = library.Start("bench", conf);
    ReleaseCounter counter;

    const MemoryStatus before = ReadMemoryStatus();
    auto built = std::make_unique<vxPluginSinkPayload>(size, MakeBody(size, 1),
        std::set<std::string>{ bench_channel }, BenchFlags());
    counter.Reset(1);
    Clock::time_point start = Clock::now();
    {
        std::shared_ptr<vxPluginSinkPayload> payload(built.get(), CountRelease{ &counter });
        if (mode == "post") plugin->QueuePayload(payload);
    }
    if (!counter.Wait(std::chrono::minutes(5)))
        throw std::runtime_error("the payload was not posted in time");
    const double seconds = std::chrono::duration<double>(counter.CompletedAt() - start).count();
    built.reset();

    plugin.reset();
    RequireQuietLog(agent, "memory");

    const MemoryStatus after = ReadMemoryStatus();
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    AppendRecord(out, "memory",
        { { "mode", mode }, { "payload_bytes", size }, { "peak_kib", after.hwm_kib },
            { "max_rss_kib", usage.ru_maxrss }, { "rss_before_kib", before.rss_kib },
            { "seconds", Rounded(seconds, 3) } });
    printf("  %-5s  %zu MiB payload  peak %ld KiB (rss before %ld KiB)  %.3f s\n", mode.c_str(),
        size >> 20, after.hwm_kib, before.rss_kib, seconds);
    return 0;
}

} // namespace vxbench
