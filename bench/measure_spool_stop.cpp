#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "delivery/spool_file.h"
#include "measure_spool_stop.h"
#include "test_support.h"

namespace vxbench {

using json = nlohmann::json;
using namespace std::chrono_literals;

int MeasureSpoolStop(const Args &args)
{
    const long files = args.GetLong("files", 100000);
    const long payloads = args.GetLong("payloads", 20000);

    AgentScope agent;
    TempDir dir;
    const std::filesystem::path spool = dir.Path() / "spool";
    std::filesystem::create_directories(spool);
    const std::string body = "{\"flow\":1}";
    htsSpoolHead head;
    head.channel = "full";
    head.flags = BenchFlags().Bits();
    head.when_ms = 1;
    head.error = "HTTP: 503";
    head.length = body.size();
    const std::string text = htsSpoolHeadLine(head) + body;
    for (long n = 0; n < files; n++) {
        char name[64];
        snprintf(name, sizeof(name), "%020" PRId64 "-%010ld.spool", int64_t{ 1 }, n);
        std::ofstream(spool / name, std::ios::binary) << text;
    }
    const uint64_t full = static_cast<uint64_t>(files) * text.size();

    // Nothing listens there: every post fails at once and is spooled, or
    // turned away by the full folder. The spool is not drained, so that
    // only the stop is measured.
    const int port = vxtest::UnusedLoopbackPort();
    const std::string config = dir.Write("full.json",
        "{ \"delivery\": \"parallel\", \"channels\": { \"full\": { \"url\": \"http://127.0.0.1:" + std::to_string(port) +
            "/\", \"max_in_flight\": 8, \"spool_dir\": \"" + spool.string() + "\", \"spool_max_bytes\": " +
            std::to_string(full) + ", \"spool_drain\": false } } }");
    PluginLibrary library(args.Get("plugin", VX_PLUGIN_PATH));
    PluginPtr plugin = library.Start("full", config);
    for (long n = 0; n < payloads; n++) {
        const std::string payload = "{\"n\":" + std::to_string(n) + "}";
        plugin->QueuePayload(std::make_shared<vxPluginSinkPayload>(payload.size(),
            reinterpret_cast<const uint8_t *>(payload.data()), std::set<std::string>{ "full" }, BenchFlags()));
    }
    std::this_thread::sleep_for(500ms); // some posts failed and were turned away
    const Clock::time_point before = Clock::now();
    plugin.reset();
    const double stop_ms = SecondsSince(before) * 1000;
    size_t full_lines = 0;
    for (const std::string &line : agent.TakeLog())
        if (line.find("spool full, dropping payloads") != std::string::npos) full_lines++;
    printf("%s\n", json({ { "measure", "spool_full_stop" }, { "summary", true }, { "files", files },
                           { "payloads", payloads }, { "stop_ms", stop_ms }, { "spool_full_lines", full_lines },
                           { "target_stop_ms", 2000 }, { "met", stop_ms < 2000 && full_lines >= 1 } })
                       .dump()
                       .c_str());
    fprintf(stderr, "  spool stop: %ld files, %ld payloads, stop %.0f ms\n", files, payloads, stop_ms);
    return 0;
}

} // namespace vxbench
