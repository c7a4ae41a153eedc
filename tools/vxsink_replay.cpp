#include <fcntl.h>
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
    // O_NOFOLLOW: a name swapped for a symbolic link after the listing is
    // not followed either.
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        why = std::string("cannot read: ") + strerror(errno);
        return std::nullopt;
    }
    FileDescriptor file(fd);
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(file.Get(), buffer, sizeof(buffer));
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            why = std::string("cannot read: ") + strerror(errno);
            return std::nullopt;
        }
        text.append(buffer, static_cast<size_t>(got));
    }
    const size_t eol = text.find('\n');
    try {
        if (eol == std::string::npos) throw std::runtime_error("no head line");
        const nlohmann::json head = nlohmann::json::parse(text.substr(0, eol));
        Spooled s;
        s.channel = head.at("channel").get<std::string>();
        s.flags = head.at("flags").get<uint32_t>();
        constexpr uint32_t known = vxPlugin::FORMAT_JSON | vxPlugin::FORMAT_MSGPACK | vxPlugin::COMPRESS_GZIP;
        if ((s.flags & ~known) != 0) throw std::runtime_error("unknown flags");
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

// The channel's count of successful posts, from the plug-in's own status.
std::optional<uint64_t> Succeeded(vxPluginSink &plugin, const std::string &channel)
{
    nlohmann::json status;
    plugin.GetStatus(status);
    try {
        return status.at("channels").at(channel).at("succeeded").get<uint64_t>();
    }
    catch (const std::exception &) {
        return std::nullopt;
    }
}

} // namespace

int Replay(const Options &options)
{
    FileDescriptor signal_fd;
    if (!TakeSignals({ SIGHUP, SIGINT, SIGTERM }, signal_fd)) return exit_failure;

    std::vector<fs::path> files;
    unsigned long long skipped = 0;
    std::error_code ec;
    fs::directory_iterator it(options.replay, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const fs::directory_entry &e = *it;
        const std::string name = e.path().filename().string();
        // Hidden names are files a crash left half written.
        if (name.empty() || name[0] == '.') continue;
        // Only what the agent wrote itself: a link is never followed, even
        // to a spool file elsewhere.
        std::error_code stat_ec;
        const fs::file_status st = e.symlink_status(stat_ec);
        if (stat_ec) {
            Error(e.path().string() + ": " + stat_ec.message() + ", skipped");
            skipped++;
            continue;
        }
        if (fs::is_symlink(st)) {
            Error(e.path().string() + ": symbolic link, skipped");
            skipped++;
            continue;
        }
        if (!fs::is_regular_file(st)) continue;
        // Files the plug-in moved aside (".broken") wait for an operator.
        if (name.size() < 6 || name.compare(name.size() - 6, 6, ".spool") != 0) {
            Error(e.path().string() + ": not a spool file, skipped");
            skipped++;
            continue;
        }
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
        // Success is the channel's own count moving, whatever was logged.
        const std::optional<uint64_t> before = Succeeded(*instance, s->channel);
        instance->QueuePayload(tracker.Make(Body::Own(s->body), { s->channel },
            vxFlags<vxPlugin::DispatchFlags>(s->flags)));
        if (end == Wait::Ready) end = loop.Drained();
        if (end != Wait::Ready) {
            kept++;
            break;
        }
        const std::optional<uint64_t> after = Succeeded(*instance, s->channel);
        // No figures before the first post: the configuration may still be
        // loading, and then the count starts at zero.
        const bool ok = after && *after > before.value_or(0);
        if (ok && unlink(path.c_str()) == 0)
            sent++;
        else
            kept++;
    }
    instance.reset();
    // Files not reached after a stop are kept as well.
    const unsigned long long total = files.size();
    kept = total - sent;
    vx_printf("vxsink: replay: %llu sent, %llu kept, %llu skipped\n", sent, kept, skipped);
    if (end == Wait::Stop) return 128 + loop.StopSignal();
    return (kept == 0) ? exit_ok : exit_failure;
}

} // namespace vxsink
