#include <cstdio>

#include "vxsink_status.h"

namespace vxsink {

namespace {

using Clock = std::chrono::steady_clock;

uint64_t Count(const nlohmann::json &j, const char *key)
{
    return (j.is_object() && j.contains(key) && j[key].is_number_unsigned()) ? j[key].get<uint64_t>() : 0;
}

const nlohmann::json &Part(const nlohmann::json &j, const char *key)
{
    static const nlohmann::json none = nlohmann::json::object();
    return (j.is_object() && j.contains(key) && j[key].is_object()) ? j[key] : none;
}

// A value of the configuration as a line shows it; empty for one left to
// libcurl (null, or a text set to "").
std::string Shown(const std::string &key, const nlohmann::json &value)
{
    if (value.is_null()) return "";
    if (value.is_string()) return value.get<std::string>();
    if (value.is_array()) {
        std::string text;
        for (const auto &item : value) text += (text.empty() ? "" : ", ") + Shown(key, item);
        return text.empty() ? "(none)" : text;
    }
    std::string text = value.dump();
    if (key.rfind("timeout_", 0) == 0) text += value == 0 ? " (no limit)" : " s";
    return text;
}

// Names and values come from the file: control characters are shown as
// escapes, so none can start a line of its own.
std::string Printable(const std::string &text)
{
    std::string out;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            char escaped[8];
            snprintf(escaped, sizeof(escaped), "\\x%02x", byte);
            out += escaped;
        }
        else
            out.push_back(c);
    }
    return out;
}

void Line(const std::string &text) { fputs((Printable(text) + "\n").c_str(), stdout); }

} // namespace

bool FirstLoadDone(const nlohmann::json &status)
{
    const nlohmann::json &conf = Part(status, "configuration");
    return Count(conf, "loads") + Count(conf, "failed_loads") > 0;
}

Wait AwaitFirstLoad(vxPlugin &plugin, EventLoop &loop, nlohmann::json &status, std::chrono::milliseconds limit)
{
    const Clock::time_point end = Clock::now() + limit;
    for (;;) {
        status = nlohmann::json();
        plugin.GetStatus(status);
        if (FirstLoadDone(status) || Clock::now() >= end) return Wait::Ready;
        if (Wait w = loop.Poll(-1, nullptr, 10); w != Wait::Ready) return w;
    }
}

int ReportCheck(const nlohmann::json &status)
{
    const nlohmann::json &conf = Part(status, "configuration");
    const std::string file = conf.value("file", "");
    if (!FirstLoadDone(status)) {
        Line(file + ": not loaded: the plug-in reported no load within " +
            std::to_string(first_load_limit.count()) + " s");
        return exit_failure;
    }
    if (Count(conf, "loads") == 0) {
        Line(file + ": not loaded: " + conf.value("last_failure", std::string("(no reason given)")));
        return exit_failure;
    }

    const nlohmann::json &channels = Part(conf, "channels");
    const size_t warnings = conf.contains("warnings") && conf["warnings"].is_array() ? conf["warnings"].size() : 0;
    Line(file + ": loaded, " + std::to_string(channels.size()) + (channels.size() == 1 ? " channel, " : " channels, ") +
        std::to_string(warnings) + (warnings == 1 ? " warning" : " warnings"));
    for (const auto &[name, described] : channels.items()) {
        Line("channel " + name);
        // The URL first, then the rest by name.
        Line("  url: " + Shown("url", described.value("url", nlohmann::json())));
        for (const auto &[key, value] : described.items()) {
            if (key == "url" || key == "channel") continue;
            const std::string shown = Shown(key, value);
            if (!shown.empty()) Line("  " + key + ": " + shown);
        }
    }
    if (warnings != 0)
        for (const auto &warning : conf["warnings"]) Line("warning: " + warning.get<std::string>());
    fflush(stdout);
    return exit_ok;
}

void PrintStatus(const nlohmann::json &status)
{
    // The JSON writer escapes what needs it.
    const std::string text = status.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    fputs(text.c_str(), stdout);
    fflush(stdout);
}

} // namespace vxsink
