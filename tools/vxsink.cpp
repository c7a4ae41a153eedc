// vxsink: a small host for the HTTP sink plug-in, so that it can be run and
// tried against a real collector without the agent. It loads the plug-in the
// way the agent does, queues payloads read from files or standard input, and
// leaves the plug-in's log lines on standard error exactly as it writes them.
#include <signal.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "vxconfig.h"
#include "vxexception.h"
#include "vxlog.h"
#include "vxplugin_loader.h"
#include "vxsink_input.h"
#include "vxsink_options.h"
#include "vxsink_status.h"
#include "vxsink_replay.h"
#include "vxsink_version.h"

namespace vxsink {

namespace {

int Run(const Options &options)
{
    FileDescriptor signal_fd;
    if (!TakeSignals({ SIGHUP, SIGINT, SIGTERM, SIGUSR1 }, signal_fd)) return exit_failure;

    std::optional<vxPluginLibrary> library;
    if (!OpenPlugin(options, library)) return exit_failure;

    vxGlobalConfigScope global;
    PublishAgentSettings(options, global.config);

    ReleaseTracker tracker;
    if (!tracker.Open()) {
        Error(std::string("eventfd: ") + strerror(errno));
        return exit_failure;
    }

    // Declared after the tracker and the configuration: the instance, and
    // every payload it still holds, go first.
    vxPluginSinkOwner instance;
    try {
        instance = library->CreateSink(options.tag, { { "conf_filename", options.config } });
    }
    catch (const vxException &e) {
        Error(e.what());
        return exit_failure;
    }

    instance->Create();
    EventLoop loop(signal_fd.Get(), *instance, tracker);

    if (options.check) {
        nlohmann::json status;
        Wait end = AwaitFirstLoad(*instance, loop, status);
        instance.reset();
        if (end == Wait::Stop) return 128 + loop.StopSignal();
        if (end == Wait::Failed) return exit_failure;
        return ReportCheck(status);
    }

    Sink sink(options, *instance, tracker);
    Feed fed = options.files.empty() ? FeedLines(sink, loop, tracker)
                                     : FeedFiles(options, sink, loop);

    // Input has ended: let every post finish, however long the collector
    // takes, unless told to stop. Input may end before the plug-in has even
    // read its file; stopping then would hide a file that does not load.
    Wait end = fed.end;
    if (end == Wait::Ready) end = loop.Drained();
    nlohmann::json status;
    if (end == Wait::Ready) end = AwaitFirstLoad(*instance, loop, status);
    if (options.status) {
        status = nlohmann::json();
        instance->GetStatus(status);
        PrintStatus(status);
    }

    instance.reset();

    if (end == Wait::Stop) return 128 + loop.StopSignal();
    if (end == Wait::Failed) return exit_failure;
    return fed.bad_input ? exit_failure : exit_ok;
}

} // namespace

} // namespace vxsink

int main(int argc, char **argv)
{
    auto parsed = vxsink::ParseArguments(argc, argv);
    if (const int *status = std::get_if<int>(&parsed)) return *status;
    const vxsink::Options &options = std::get<vxsink::Options>(parsed);
    if (options.version) return vxsinkPrintVersion(options.plugin);
    if (!options.replay.empty()) return vxsink::Replay(options);
    return vxsink::Run(options);
}
