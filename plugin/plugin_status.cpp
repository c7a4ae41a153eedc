#include <algorithm>
#include <cstdio>
#include <new>
#include <utility>

#include "config/log_text.h"
#include "plugin/plugin_status.h"
#include "vxlog.h"

namespace {

// The stats give a channel's URLs by position; the status shows each, masked
// as its configuration is, beside its state, and the one in use by name.
void ShowUrlStates(nlohmann::json &figures, const nlohmann::json &described)
{
    if (!figures.contains("urls") || !described.contains("fallback_urls")) return;
    nlohmann::json urls = nlohmann::json::array({ described["url"] });
    for (const auto &url : described["fallback_urls"]) urls.push_back(url);
    nlohmann::json shown = nlohmann::json::array();
    for (size_t i = 0; i < figures["urls"].size() && i < urls.size(); i++)
        shown.push_back({ { "url", urls[i] }, { "state", figures["urls"][i] } });
    const size_t in_use = figures.value("url_in_use", size_t{ 0 });
    figures["url_in_use"] = in_use < urls.size() ? urls[in_use] : urls[0];
    figures["urls"] = std::move(shown);
}

} // namespace

htsChannelStats *htsStatusBoard::Stats(const std::string &channel) const
{
    auto it = worker_stats.find(channel);
    return it == worker_stats.end() ? nullptr : it->second.get();
}

std::shared_ptr<htsChannelStats> htsStatusBoard::SharedStats(const std::string &channel) const
{
    auto it = worker_stats.find(channel);
    return it == worker_stats.end() ? nullptr : it->second;
}

htsStatusBoard::Pending htsStatusBoard::Prepare(const std::map<std::string, htsChannelConfig> &channels,
    const std::vector<std::string> &warnings, const std::string &delivery, bool retries) const
{
    auto next = std::make_shared<InForce>();
    next->delivery = delivery;
    next->figures.parallel = delivery == "parallel";
    next->figures.retries = next->figures.parallel && retries;
    next->warnings = warnings;
    next->channels.reserve(channels.size());

    Pending pending;
    for (const auto &[name, record] : channels) {
        auto kept = worker_stats.find(name);
        std::shared_ptr<htsChannelStats> stats =
            kept != worker_stats.end() ? kept->second : std::make_shared<htsChannelStats>();
        next->channels.push_back({ record, stats });
        pending.stats.emplace_hint(pending.stats.end(), name, std::move(stats));
    }
    pending.view = std::move(next);
    return pending;
}

void htsStatusBoard::Commit(Pending &&pending) noexcept
{
    // Set here rather than in Prepare: when the configuration came in force.
    pending.view->loaded_ns = htsWallClockNs();
    std::shared_ptr<const InForce> previous = std::move(pending.view);
    {
        std::lock_guard<std::mutex> guard(lock);
        loads++;
        in_force.swap(previous);
    }
    // Figures of removed channels go with `pending`, unless a reader still
    // holds them; the previous view goes with `previous`.
    worker_stats.swap(pending.stats);
}

void htsStatusBoard::LoadFailed(const std::string &text) noexcept
{
    const int64_t now = htsWallClockNs();
    std::lock_guard<std::mutex> guard(lock);
    failed_loads++;
    last_failure_ns = now;
    // Memory may be what ran out: the count stands without the text.
    try {
        last_failure = text;
    }
    catch (const std::bad_alloc &) {
        last_failure.clear();
    }
}

void htsStatusBoard::Fill(nlohmann::json &status, const std::string &conf_filename) const
{
    std::shared_ptr<const InForce> view;
    nlohmann::json configuration = nlohmann::json::object();
    {
        std::lock_guard<std::mutex> guard(lock);
        view = in_force;
        configuration["loads"] = loads;
        configuration["failed_loads"] = failed_loads;
        configuration["last_failure"] = failed_loads != 0 ? nlohmann::json(last_failure) : nlohmann::json();
        configuration["last_failure_time"] = htsTimeJson(last_failure_ns);
    }
    configuration["file"] = conf_filename;
    configuration["loaded_at"] = htsTimeJson(view->loaded_ns);
    configuration["warnings"] = view->warnings;
    nlohmann::json described = nlohmann::json::object();
    for (const Channel &c : view->channels) described[c.record.channel] = c.record.DescribeMasked();

    nlohmann::json channels = nlohmann::json::object();
    for (const Channel &c : view->channels) {
        nlohmann::json figures = c.stats->Read().ToJson(view->figures);
        figures["url"] = described[c.record.channel]["url"];
        ShowUrlStates(figures, described[c.record.channel]);
        channels[c.record.channel] = std::move(figures);
    }
    configuration["channels"] = std::move(described);

    status["delivery"] = view->delivery;
    status["configuration"] = std::move(configuration);
    status["channels"] = std::move(channels);
}

namespace {

// A value of the status as a table cell: texts as they are, numbers plain,
// anything missing as "-".
std::string Cell(const nlohmann::json &j, const char *key)
{
    if (!j.is_object()) return "-";
    auto it = j.find(key);
    if (it == j.end() || it->is_null()) return "-";
    if (it->is_string()) return htsEscapeControl(it->get<std::string>());
    return it->dump();
}

std::string Bytes(const nlohmann::json &j, const char *key)
{
    if (!j.is_object() || !j.contains(key) || !j[key].is_number()) return "-";
    double value = j[key].get<double>();
    static const char *const units[] = { "B", "KiB", "MiB", "GiB", "TiB" };
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(units)) {
        value /= 1024.0;
        unit++;
    }
    char text[32];
    snprintf(text, sizeof(text), unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}

// "503:2 404:1" from an object of counts by code.
std::string Codes(const nlohmann::json &j, const char *key)
{
    if (!j.is_object() || !j.contains(key) || !j[key].is_object() || j[key].empty()) return "-";
    std::string text;
    for (const auto &[code, count] : j[key].items()) {
        if (!text.empty()) text += " ";
        text += htsEscapeControl(code) + ":" + count.dump();
    }
    return text;
}

// Lines of cells, each column as wide as its widest cell; text columns are
// aligned left, the others right.
class Table
{
public:
    explicit Table(std::vector<std::string> heading, std::vector<bool> left)
        : left(std::move(left))
    {
        rows.push_back(std::move(heading));
    }
    void Add(std::vector<std::string> row) { rows.push_back(std::move(row)); }

    void Write(std::string &out, const std::string &prefix) const
    {
        std::vector<size_t> width(rows[0].size(), 0);
        for (const auto &row : rows)
            for (size_t i = 0; i < row.size(); i++) width[i] = std::max(width[i], row[i].size());
        for (const auto &row : rows) {
            std::string line = prefix;
            for (size_t i = 0; i < row.size(); i++) {
                const std::string pad(width[i] - row[i].size(), ' ');
                if (i > 0) line += "  ";
                line += left[i] ? row[i] + (i + 1 < row.size() ? pad : "") : pad + row[i];
            }
            out += line + "\n";
        }
    }

private:
    std::vector<bool> left;
    std::vector<std::vector<std::string>> rows;
};

// Below the table, for a channel that has them: its adaptive limit, and its
// URLs with their states.
std::string TuningLines(const std::string &prefix, const nlohmann::json &c)
{
    std::string out;
    if (!c.is_object()) return out;
    if (c.contains("max_in_flight") && c["max_in_flight"].is_object()) {
        const nlohmann::json &limit = c["max_in_flight"];
        out += prefix + "max_in_flight auto: " + Cell(limit, "current") + ", latency baseline " +
            Cell(limit, "baseline_ms") + " ms\n";
    }
    if (c.contains("urls") && c["urls"].is_array()) {
        out += prefix + "posting to " + Cell(c, "url_in_use") + ";";
        // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) about `" " + string`.
        for (const auto &url : c["urls"]) {
            out += ' ';
            out += Cell(url, "url");
            out += ' ';
            out += Cell(url, "state");
            out += ';';
        }
        out.back() = '\n';
    }
    return out;
}

} // namespace

void htsPrintStatus(const std::string &tag, const nlohmann::json &status)
{
    const std::string prefix = htsEscapeControl(tag) + ": ";
    const nlohmann::json none = nlohmann::json::object();
    auto part = [&](const nlohmann::json &j, const char *key) -> const nlohmann::json & {
        return (j.is_object() && j.contains(key) && j[key].is_object()) ? j[key] : none;
    };

    std::string out = prefix + Cell(status, "library") + " " + Cell(status, "version") + ", " +
        Cell(status, "delivery") + " delivery\n";

    const nlohmann::json &conf = part(status, "configuration");
    out += prefix + "configuration " + Cell(conf, "file") + ": loaded " + Cell(conf, "loaded_at") + ", " +
        Cell(conf, "loads") + " loads, " + Cell(conf, "failed_loads") + " failed";
    if (conf.contains("last_failure") && conf["last_failure"].is_string())
        out += " (last at " + Cell(conf, "last_failure_time") + ": " + Cell(conf, "last_failure") + ")";
    out += "\n";
    if (conf.contains("warnings") && conf["warnings"].is_array()) {
        for (const auto &warning : conf["warnings"])
            if (warning.is_string()) out += prefix + "warning: " + htsEscapeControl(warning.get<std::string>()) + "\n";
    }

    const nlohmann::json &channels = part(status, "channels");
    const bool parallel = Cell(status, "delivery") == "parallel";
    bool retries = false;
    for (const auto &[name, c] : channels.items()) retries = retries || (c.is_object() && c.contains("retried"));

    std::vector<std::string> heading = { "channel", "posts", "ok", "other answers", "errors", "sent", "p50 ms",
        "p99 ms", "last success" };
    std::vector<bool> left = { true, false, false, true, true, false, false, false, true };
    if (parallel) {
        for (const char *h : { "backlog", "backlog size", "in flight", "dropped" }) {
            heading.push_back(h);
            left.push_back(false);
        }
    }
    if (retries) {
        for (const char *h : { "retried", "given up" }) {
            heading.push_back(h);
            left.push_back(false);
        }
    }
    heading.push_back("url");
    left.push_back(true);

    Table table(heading, left);
    std::string errors;
    for (const auto &[name, c] : channels.items()) {
        const nlohmann::json &latency = part(c, "latency_ms");
        std::vector<std::string> row = { htsEscapeControl(name), Cell(c, "posts"), Cell(c, "succeeded"),
            Codes(c, "answers"), Codes(c, "errors"), Bytes(c, "body_bytes"), Cell(latency, "median"),
            Cell(latency, "p99"), Cell(c, "last_success_time") };
        if (parallel) {
            row.push_back(Cell(c, "backlog_payloads"));
            row.push_back(Bytes(c, "backlog_bytes"));
            row.push_back(Cell(c, "in_flight"));
            row.push_back(Cell(c, "dropped"));
        }
        if (retries) {
            row.push_back(Cell(c, "retried"));
            row.push_back(Cell(c, "given_up"));
        }
        row.push_back(Cell(c, "url"));
        table.Add(std::move(row));
        if (c.is_object() && c.contains("last_error") && c["last_error"].is_string()) {
            errors += prefix + "  " + htsEscapeControl(name) + ": last error " + Cell(c, "last_error_time") + ": " +
                Cell(c, "last_error") + "\n";
        }
        errors += TuningLines(prefix + "  " + htsEscapeControl(name) + ": ", c);
    }
    if (channels.empty())
        out += prefix + "no channels in force\n";
    else
        table.Write(out, prefix);
    out += errors;
    vx_printf("%s", out.c_str());
}
