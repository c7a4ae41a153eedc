#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "measures.h"
#include "records.h"
#include "plugin/hts_plugin.h"

namespace vxbench {

namespace {

// A configuration an operator with many collectors might write: variables in
// URLs and headers, per-channel time limits, some channels switched off.
std::string ManyChannelsText(long channels)
{
    std::ostringstream out;
    out << "// " << channels << " channels\n{\n  \"timeout_connect\": 10,\n"
        << "  \"headers\": { \"X-Agent\": \"${uuid_agent}\" },\n  \"channels\": {\n";
    for (long i = 0; i < channels; ++i) {
        char name[32];
        snprintf(name, sizeof(name), "ch%06ld", i);
        out << "    \"" << name << "\": {\n"
            << "      \"url\": \"http://127.0.0.1:9/ingest/${uuid_site}/" << name << "\",\n"
            << "      \"headers\": { \"Authorization\": \"Bearer ${uuid_agent}\", \"X-Channel\": \""
            << name << "\", \"X-Serial\": \"${uuid_serial}\" },\n"
            << "      \"timeout_transfer\": " << (30 + i % 90) << ",\n"
            << "      \"tls_verify\": " << ((i % 5) ? "true" : "false") << "\n"
            << "    }" << (i + 1 < channels ? "," : "") << "\n";
    }
    out << "  }\n}\n";
    return out.str();
}

// What the worker builds once channels are in use: both header lists of every
// channel, which every reload must free along with the records.
void BuildHeaderLists(htsPlugin &plugin)
{
    for (auto &[name, channel] : plugin.channels) {
        if (channel.GetHeaders(vxFlags(vxPlugin::FORMAT_JSON)) == nullptr ||
            channel.GetHeaders(vxFlags(vxPlugin::FORMAT_JSON) | vxPlugin::COMPRESS_GZIP) == nullptr)
            throw std::runtime_error("header list not built for " + name);
    }
}

} // namespace

// Loads a file of many channels with the plug-in's own loader, then reloads it
// again and again: the time per load, and whether memory in use comes back to
// the same level after every reload.
int MeasureReload(const Args &args)
{
    const std::string out = args.Require("out");
    const long channels = args.GetLong("channels", 10000);
    const long repeat = args.GetLong("repeat", 20);

    AgentScope agent;
    TempDir dir;
    const std::string text = ManyChannelsText(channels);
    const std::string conf = dir.Write("many.json", text);

    htsPlugin plugin("reload", { { "conf_filename", conf } });

    const size_t heap_before = HeapInUse();
    const MemoryStatus mem_before = ReadMemoryStatus();
    Clock::time_point start = Clock::now();
    plugin.LoadConfig();
    const double first_ms = SecondsSince(start) * 1000.0;
    if (plugin.channels.size() != static_cast<size_t>(channels))
        throw std::runtime_error("the loader did not keep every channel");
    BuildHeaderLists(plugin);
    const size_t heap_loaded = HeapInUse();
    const MemoryStatus mem_loaded = ReadMemoryStatus();
    AppendRecord(out, "first_load",
        { { "channels", channels }, { "file_bytes", text.size() }, { "ms", Rounded(first_ms, 3) },
            { "heap_before", heap_before }, { "heap_loaded", heap_loaded },
            { "rss_before_kib", mem_before.rss_kib }, { "rss_loaded_kib", mem_loaded.rss_kib },
            { "peak_kib", mem_loaded.hwm_kib } });
    printf("  first load of %ld channels (%zu bytes): %.1f ms\n", channels, text.size(), first_ms);

    for (long rep = 1; rep <= repeat; ++rep) {
        start = Clock::now();
        plugin.LoadConfig();
        const double ms = SecondsSince(start) * 1000.0;
        BuildHeaderLists(plugin);
        const MemoryStatus mem = ReadMemoryStatus();
        AppendRecord(out, "reload",
            { { "rep", rep }, { "ms", Rounded(ms, 3) }, { "heap", HeapInUse() }, { "rss_kib", mem.rss_kib },
                { "peak_kib", mem.hwm_kib } });
    }
    printf("  %ld reloads\n", repeat);
    RequireQuietLog(agent, "reload");
    return 0;
}

} // namespace vxbench
