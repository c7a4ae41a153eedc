#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "delivery/spool_file.h"
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
    std::string id; // the payload's own, when the file has one
    std::vector<uint8_t> body;
};

constexpr const char payload_id_variable[] = "${payload_id}";

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
        if (head.contains("id") && head["id"].is_string()) s.id = head["id"].get<std::string>();
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
// its enabled channels; `root` keeps it for PayloadIdConfig.
bool OneTryConfig(const std::string &path, const std::string &copy, std::set<std::string> &channels,
    nlohmann::json &root)
{
    std::ifstream in(path);
    if (!in.is_open()) {
        Error("cannot read " + path);
        return false;
    }
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

// Whether `channel` sends "${payload_id}" in a header value.
bool UsesPayloadId(const nlohmann::json &root, const std::string &channel)
{
    const auto channels = root.find("channels");
    if (channels == root.end() || !channels->is_object() || !channels->contains(channel)) return false;
    const nlohmann::json &record = (*channels)[channel];
    const auto headers = record.find("headers");
    if (headers == record.end() || !headers->is_object()) return false;
    for (const auto &[name, value] : headers->items())
        if (value.is_string() && value.get<std::string>().find(payload_id_variable) != std::string::npos)
            return true;
    return false;
}

// The one-try configuration with "${payload_id}" in the headers of `channel`
// given as `id`, so that the replayed post carries the id the payload had.
std::string PayloadIdConfig(nlohmann::json root, const std::string &channel, const std::string &id)
{
    for (auto &[name, value] : root["channels"][channel]["headers"].items()) {
        if (!value.is_string()) continue;
        std::string text = value.get<std::string>();
        for (size_t at = 0; (at = text.find(payload_id_variable, at)) != std::string::npos; at += id.size())
            text.replace(at, sizeof(payload_id_variable) - 1, id);
        value = text;
    }
    return root.dump(2) + "\n";
}

// Puts `text` in force as the instance's configuration: written aside and
// renamed, then reloaded, waiting until the load is done. False (with a
// line) when it did not load in time.
bool LoadNow(vxPluginSink &plugin, const std::string &copy, const std::string &text)
{
    const std::string aside = copy + ".next";
    {
        std::ofstream out(aside, std::ios::trunc);
        out << text;
        if (!out.good()) {
            Error("cannot write " + aside);
            return false;
        }
    }
    if (rename(aside.c_str(), copy.c_str()) != 0) {
        Error("cannot rename " + aside + ": " + strerror(errno));
        unlink(aside.c_str());
        return false;
    }
    auto loads = [&plugin]() -> std::pair<uint64_t, uint64_t> {
        nlohmann::json status;
        plugin.GetStatus(status);
        try {
            const nlohmann::json &c = status.at("configuration");
            return { c.at("loads").get<uint64_t>(), c.at("failed_loads").get<uint64_t>() };
        }
        catch (const std::exception &) {
            return { 0, 0 };
        }
    };
    const auto before = loads();
    plugin.DispatchEvent(vxPlugin::EVENT_RELOAD);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        const auto now = loads();
        if (now.first > before.first) return true;
        if (now.second > before.second) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Error("the configuration with the payload's id did not load");
    return false;
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

    // What a crash of the plug-in left is put right as its own start-up
    // does: a whole file under a hidden name is replayed, anything else is
    // moved aside and reported.
    const htsSpoolRecovery recovery = htsRecoverSpoolFolder(options.replay);
    for (const std::string &line : recovery.lines) Error(line);
    if (recovery.recovered > 0)
        Error("spool " + options.replay + ": " + std::to_string(recovery.recovered) +
            " files left by a stop cut short recovered");

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
    nlohmann::json one_try;
    if (!OneTryConfig(options.config, copy, channels, one_try)) return exit_failure;
    // The configuration text in force, changed only for a payload whose id
    // goes into its headers.
    std::string in_force = one_try.dump(2) + "\n";

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
        if (UsesPayloadId(one_try, s->channel)) {
            // Without an id of its own it gets a new one, as any payload.
            const std::string wanted = s->id.empty() ? one_try.dump(2) + "\n"
                                                     : PayloadIdConfig(one_try, s->channel, s->id);
            if (wanted != in_force) {
                if (!LoadNow(*instance, copy, wanted)) {
                    kept++;
                    continue;
                }
                in_force = wanted;
            }
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
