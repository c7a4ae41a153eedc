#include <cstring>
#include <exception>

#include "plugin/hts_plugin.h"
#include "vxlog.h"

htsPlugin::htsPlugin(const std::string &tag,
    const std::map<std::string, std::string> &params)
    : vxPluginSink(tag, params)
{
    memset(curl_error, 0, sizeof(curl_error));
    // The first pass of the worker loads the configuration; nothing is read
    // here, so constructing an instance never touches the file or network.
    reload_pending.store(true);
    vx_dprintf("%s: initialized\n", tag.c_str());
}

htsPlugin::~htsPlugin()
{
    // An agent that destroys a running instance without Terminate() would
    // otherwise wait forever on a thread that never looks up.
    Terminate();
    Join();
    wake_target.store(nullptr);
    parallel.reset();
    curl_handle.reset();
    vx_dprintf("%s: destroyed\n", tag.c_str());
}

void htsPlugin::GetLibrary(std::string &library) { library = HTS_PLUGIN_LIBRARY; }

void htsPlugin::GetName(std::string &name) { name = HTS_PLUGIN_NAME; }

void htsPlugin::GetVersion(std::string &version) { version = HTS_PLUGIN_VERSION; }

void htsPlugin::GetStatus(nlohmann::json &out)
{
    // Runs on an agent thread while the worker posts; nothing may unwind
    // into the agent.
    try {
        nlohmann::json status = nlohmann::json::object();
        status["library"] = HTS_PLUGIN_LIBRARY;
        status["name"] = HTS_PLUGIN_NAME;
        status["version"] = HTS_PLUGIN_VERSION;
        status["tag"] = tag;
        status_board.Fill(status, conf_filename);
        AddSpoolFigures(status);
        out = std::move(status);
    }
    catch (const std::exception &e) {
        vx_printf("%s: status not available: %s\n", tag.c_str(), e.what());
    }
}

void htsPlugin::DisplayStatus(const nlohmann::json &status)
{
    try {
        // Given nothing, show the status of this moment.
        if (status.is_object() && !status.empty()) {
            htsPrintStatus(tag, status);
            return;
        }
        nlohmann::json now;
        GetStatus(now);
        if (!now.is_null()) htsPrintStatus(tag, now);
    }
    catch (const std::exception &e) {
        vx_printf("%s: status not available: %s\n", tag.c_str(), e.what());
    }
}

void htsPlugin::DispatchEvent(Event event, void *)
{
    // Runs on an agent thread: only record the request; the worker reloads.
    if (event == EVENT_RELOAD) {
        reload_pending.store(true);
        WakeWorker();
    }
}

void htsPlugin::Terminate()
{
    vxPluginSink::Terminate();
    WakeWorker();
}

void htsPlugin::QueuePayload(const std::shared_ptr<vxPluginSinkPayload> &payload)
{
    vxPluginSink::QueuePayload(payload);
    WakeWorker();
}

void htsPlugin::WakeWorker() noexcept
{
    // The flag or the queue is written first: a worker that is not asleep
    // yet sees it on its last look before the wait.
    if (htsParallelDelivery *engine = wake_target.load()) engine->Wake();
}

void htsPlugin::AddSpoolFigures(nlohmann::json &status) const
{
    const htsParallelDelivery *engine = wake_target.load();
    if (engine == nullptr || !status.contains("channels")) return;
    const htsSpoolSnapshot spooled = engine->SpoolFigures();
    const std::set<std::string> down = engine->DownChannels();
    const nlohmann::json &described = status["configuration"]["channels"];
    for (auto &[name, figures] : status["channels"].items()) {
        if (!described.contains(name) || described[name].value("spool_dir", "").empty()) continue;
        auto it = spooled.channels.find(name);
        const htsSpoolFigures f = it == spooled.channels.end() ? htsSpoolFigures{} : it->second;
        figures["spool"] = { { "files", f.files }, { "bytes", f.bytes }, { "rejected", f.rejected }, { "spooled", f.spooled },
            { "drained", f.drained }, { "moved_aside", f.broken },
            { "lost", { { "writer_behind", f.lost_behind }, { "spool_full", f.lost_full },
                          { "unwritable", f.lost_unwritable }, { "writer_failed", f.lost_writer } } } };
        figures["state"] = down.count(name) != 0 ? "down" : "up";
    }
}
