#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "vxconfig.h"
#include "vxexception.h"
#include "vxlog.h"
#include "vxplugin_loader.h"
#include "vxsink_input.h"
#include "vxsink_replay.h"

namespace fs = std::filesystem;

namespace vxsink {

namespace {

// One spooled payload: a line of JSON about it, then the body.
struct Spooled {
    std::string channel;
    uint32_t flags = 0;
    std::vector<uint8_t> body;
};

std::optional<Spooled> ReadSpooled(const fs::path &path, std::string &why)
{
    std::ifstream in(path, std::ios::binary);
    std::string text(std::istreambuf_iterator<char>(in), {});
    if (!in.good() && !in.eof()) {
        why = "cannot read";
        return std::nullopt;
    }
    const size_t eol = text.find('\n');
    try {
        if (eol == std::string::npos) throw std::runtime_error("no head line");
        const nlohmann::json head = nlohmann::json::parse(text.substr(0, eol));
        Spooled s;
        s.channel = head.at("channel").get<std::string>();
        s.flags = head.at("flags").get<uint32_t>();
        const uint64_t length = head.at("length").get<uint64_t>();
        if (length != text.size() - eol - 1) throw std::runtime_error("body length differs");
        s.body.assign(text.begin() + static_cast<std::ptrdiff_t>(eol) + 1, text.end());
        return s;
    }
    catch (const std::exception &e) {
        why = std::string("not a spool file: ") + e.what();
        return std::nullopt;
    }
}

// The configuration with every retry and spool turned off, and the names of
// its enabled channels.
bool OneTryConfig(const std::string &path, const std::string &copy, std::set<std::string> &channels)
{
    std::ifstream in(path);
    if (!in.is_open()) {
        Error("cannot read " + path);
        return false;
    }
    nlohmann::json root;
    try {
        root = nlohmann::json::parse(in, nullptr, true, true);
    }
    catch (const std::exception &e) {
        Error(path + ": " + e.what());
        return false;
    }
    if (!root.is_object()) root = nlohmann::json::object();
    auto once = [](nlohmann::json &j) {
        j["retries"] = 0;
        j.erase("spool_dir");
    };
    once(root);
    if (root.contains("channels") && root["channels"].is_object()) {
        for (auto &[name, value] : root["channels"].items()) {
            if (!value.is_object()) continue;
            auto enable = value.find("enable");
            if (enable != value.end() && enable->is_boolean() && !enable->get<bool>()) continue;
            once(value);
            channels.insert(name);
        }
    }
    std::ofstream out(copy, std::ios::trunc);
    out << root.dump(2) << "\n";
    return out.good();
}

} // namespace

int Replay(const Options &options)
{
    FileDescriptor signal_fd;
    if (!TakeSignals({ SIGHUP, SIGINT, SIGTERM }, signal_fd)) return exit_failure;

    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(options.replay, ec)) {
        const std::string name = e.path().filename().string();
        // Hidden names are files a crash left half written.
        if (name.empty() || name[0] == '.' || !e.is_regular_file()) continue;
        files.push_back(e.path());
    }
    if (ec) {
        Error("cannot read " + options.replay + ": " + ec.message());
        return exit_failure;
    }
    std::sort(files.begin(), files.end());

    char copy_template[] = "/tmp/vxsink-replay-XXXXXX";
    const int copy_fd = mkstemp(copy_template);
    if (copy_fd < 0) {
        Error(std::string("mkstemp: ") + strerror(errno));
        return exit_failure;
    }
    close(copy_fd);
    const std::string copy = copy_template;
    struct Remove {
        std::string path;
        ~Remove() { unlink(path.c_str()); }
    } remove_copy{ copy };
    std::set<std::string> channels;
    if (!OneTryConfig(options.config, copy, channels)) return exit_failure;

    std::optional<vxPluginLibrary> library;
    if (!OpenPlugin(options, library)) return exit_failure;
    vxGlobalConfigScope global;
    PublishAgentSettings(options, global.config);

    // Every line still reaches standard error; those about the channel of
    // the post under way, or a refused configuration, mark it failed.
    std::mutex lock;
    std::string watched;
    bool failed = false;
    bool refused = false;
    vx_log_set_sink([&](const std::string &text) {
        fputs(text.c_str(), stderr);
        std::lock_guard<std::mutex> guard(lock);
        if (!watched.empty() && text.rfind(watched, 0) == 0) failed = true;
        if (text.rfind(options.tag + ": configuration not loaded", 0) == 0) refused = true;
    });
    struct Restore {
        ~Restore() { vx_log_set_sink({}); }
    } restore;

    ReleaseTracker tracker;
    if (!tracker.Open()) return exit_failure;
    vxPluginSinkOwner instance;
    try {
        instance = library->CreateSink(options.tag, { { "conf_filename", copy } });
    }
    catch (const vxException &e) {
        Error(e.what());
        return exit_failure;
    }
    instance->Create();
    EventLoop loop(signal_fd.Get(), *instance, tracker);

    unsigned long long sent = 0, kept = 0;
    Wait end = Wait::Ready;
    for (const fs::path &path : files) {
        std::string why;
        std::optional<Spooled> s = ReadSpooled(path, why);
        if (!s) {
            Error(path.string() + ": " + why + ", kept");
            kept++;
            continue;
        }
        if (channels.count(s->channel) == 0) {
            Error(path.string() + ": channel not defined: " + s->channel + ", kept");
            kept++;
            continue;
        }
        {
            std::lock_guard<std::mutex> guard(lock);
            watched = options.tag + ": " + s->channel + ": ";
            failed = false;
        }
        instance->QueuePayload(tracker.Make(Body::Own(s->body), { s->channel },
            vxFlags<vxPlugin::DispatchFlags>(s->flags)));
        if (end == Wait::Ready) end = loop.Drained();
        bool ok;
        {
            std::lock_guard<std::mutex> guard(lock);
            ok = !failed && !refused;
            watched.clear();
        }
        if (end != Wait::Ready) {
            kept++;
            break;
        }
        if (ok && unlink(path.c_str()) == 0)
            sent++;
        else
            kept++;
    }
    instance.reset();
    // Files not reached after a stop are kept as well.
    const unsigned long long total = files.size();
    kept = total - sent;
    vx_printf("vxsink: replay: %llu sent, %llu kept\n", sent, kept);
    if (end == Wait::Stop) return 128 + loop.StopSignal();
    return (kept == 0) ? exit_ok : exit_failure;
}

} // namespace vxsink
