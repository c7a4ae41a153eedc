#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

#include "plugin/metrics_text.h"

namespace {

constexpr const char *prefix = "vornix_sink_http_";

// One sample: its labels already written as `name="value",...`.
struct Sample {
    std::string labels;
    double value;
};

// One metric family and its samples, written together as the format asks.
struct Family {
    const char *name;
    const char *type; // "counter" or "gauge"
    const char *help;
    std::vector<Sample> samples;
};

std::string Number(double value)
{
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    // The shortest text that reads back as the same number: counts stay
    // integers, times keep their fraction.
    char text[64];
    const auto result = std::to_chars(text, text + sizeof(text), value);
    return std::string(text, result.ptr);
}

std::string Label(const char *name, const std::string &value)
{
    return std::string(name) + "=\"" + htsMetricsEscape(value, true) + "\"";
}

// A number of the status, or nothing when it is missing or not a number.
bool Get(const nlohmann::json &j, const char *key, double &out)
{
    if (!j.is_object()) return false;
    auto it = j.find(key);
    if (it == j.end() || !it->is_number()) return false;
    out = it->get<double>();
    return true;
}

// "2026-12-10T15:20:47.700192Z" as seconds since the epoch.
bool Seconds(const nlohmann::json &j, const char *key, double &out)
{
    if (!j.is_object()) return false;
    auto it = j.find(key);
    if (it == j.end() || !it->is_string()) return false;
    const std::string &text = it->get_ref<const std::string &>();
    std::tm tm{};
    int consumed = 0;
    if (sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
            &tm.tm_min, &tm.tm_sec, &consumed) != 6)
        return false;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    double fraction = 0;
    if (text[static_cast<size_t>(consumed)] == '.') fraction = std::strtod(text.c_str() + consumed, nullptr);
    out = static_cast<double>(timegm(&tm)) + fraction;
    return true;
}

void Write(std::string &out, const Family &family)
{
    if (family.samples.empty()) return;
    const std::string name = std::string(prefix) + family.name;
    out += "# HELP " + name + " " + htsMetricsEscape(family.help, false) + "\n";
    out += "# TYPE " + name + " " + family.type + "\n";
    for (const Sample &s : family.samples) out += name + "{" + s.labels + "} " + Number(s.value) + "\n";
}

} // namespace

std::string htsMetricsEscape(const std::string &text, bool label)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '"' && label)
            out += "\\\"";
        else
            out += c;
    }
    return out;
}

std::string htsMetricsText(const nlohmann::json &status)
{
    const std::string tag = status.is_object() && status.contains("tag") && status["tag"].is_string()
        ? status["tag"].get<std::string>()
        : std::string();
    const std::string instance = Label("tag", tag);

    Family loads{ "configuration_loads_total", "counter", "Configuration loads put in force.", {} };
    Family failed{ "configuration_failed_loads_total", "counter", "Configuration loads that failed.", {} };
    Family loaded{ "configuration_loaded_timestamp_seconds", "gauge",
        "When the configuration in force was loaded, in seconds since the epoch.", {} };
    Family parallel{ "parallel_delivery", "gauge", "1 when each channel delivers on its own, 0 for serial delivery.",
        {} };
    if (status.is_object() && status.contains("configuration")) {
        const nlohmann::json &c = status["configuration"];
        double v = 0;
        if (Get(c, "loads", v)) loads.samples.push_back({ instance, v });
        if (Get(c, "failed_loads", v)) failed.samples.push_back({ instance, v });
        if (Seconds(c, "loaded_at", v)) loaded.samples.push_back({ instance, v });
    }
    if (status.is_object() && status.contains("delivery") && status["delivery"].is_string())
        parallel.samples.push_back({ instance, status["delivery"] == "parallel" ? 1.0 : 0.0 });

    // Per channel: the figure's key in the status and its family.
    struct PerChannel {
        const char *key;
        Family family;
    };
    std::vector<PerChannel> per_channel = {
        { "posts", { "posts_total", "counter", "Posts made, each try counted.", {} } },
        { "succeeded", { "successes_total", "counter", "Posts answered with one of the channel's success codes.",
                           {} } },
        { "body_bytes", { "body_bytes_total", "counter", "Body bytes sent.", {} } },
        { "backlog_payloads", { "backlog_payloads", "gauge", "Payloads waiting, those waiting for a retry included.",
                                  {} } },
        { "backlog_bytes", { "backlog_bytes", "gauge", "Body bytes of the payloads waiting.", {} } },
        { "in_flight", { "in_flight", "gauge", "Posts in flight.", {} } },
        { "dropped", { "dropped_total", "counter", "Payloads dropped for a full backlog.", {} } },
        { "retried", { "retried_total", "counter", "Failed posts scheduled to be tried again.", {} } },
        { "given_up", { "given_up_total", "counter", "Payloads that ran out of tries.", {} } },
    };
    Family answers{ "answers_total", "counter", "Answers other than a success code, by HTTP status.", {} };
    Family errors{ "errors_total", "counter", "Posts that failed without an answer, by libcurl code.", {} };
    Family median{ "post_latency_median_seconds", "gauge", "Median duration of the last posts.", {} };
    Family p99{ "post_latency_p99_seconds", "gauge", "99th percentile duration of the last posts.", {} };
    Family last_success{ "last_success_timestamp_seconds", "gauge", "When the last post succeeded.", {} };
    Family in_flight_limit{ "in_flight_limit", "gauge", "The in-flight limit an adaptive channel found.", {} };
    Family latency_baseline{ "latency_baseline_seconds", "gauge",
        "The latency an adaptive channel's limit goes by.", {} };
    // Channels with a spool.
    Family down{ "channel_down", "gauge", "1 while the channel is down and spools what it is given, else 0.", {} };
    std::vector<PerChannel> per_spool = {
        { "files", { "spool_files", "gauge", "Files the channel holds in its spool.", {} } },
        { "bytes", { "spool_bytes", "gauge", "Bytes of the channel's spool files.", {} } },
        { "rejected", { "spool_rejected_files", "gauge", "Spool files kept as refused for good.", {} } },
        { "spooled", { "spool_spooled_total", "counter", "Payloads written to the spool.", {} } },
        { "drained", { "spool_drained_total", "counter", "Spooled payloads sent again and deleted.", {} } },
    };

    if (status.is_object() && status.contains("channels") && status["channels"].is_object()) {
        for (const auto &[name, figures] : status["channels"].items()) {
            // Labels in name order, as a collector that re-reads the file
            // writes them.
            const std::string labels = Label("channel", name) + "," + instance;
            double v = 0;
            for (PerChannel &p : per_channel)
                if (Get(figures, p.key, v)) p.family.samples.push_back({ labels, v });
            for (auto [key, family] : { std::pair{ "answers", &answers }, std::pair{ "errors", &errors } }) {
                if (!figures.is_object() || !figures.contains(key) || !figures[key].is_object()) continue;
                for (const auto &[code, count] : figures[key].items())
                    if (count.is_number())
                        family->samples.push_back(
                            { Label("channel", name) + "," + Label("code", code) + "," + instance,
                                count.get<double>() });
            }
            if (figures.is_object() && figures.contains("latency_ms")) {
                const nlohmann::json &latency = figures["latency_ms"];
                if (Get(latency, "median", v)) median.samples.push_back({ labels, v / 1000.0 });
                if (Get(latency, "p99", v)) p99.samples.push_back({ labels, v / 1000.0 });
            }
            if (Seconds(figures, "last_success_time", v)) last_success.samples.push_back({ labels, v });
            if (figures.is_object() && figures.contains("max_in_flight")) {
                const nlohmann::json &limit = figures["max_in_flight"];
                if (Get(limit, "current", v)) in_flight_limit.samples.push_back({ labels, v });
                if (Get(limit, "baseline_ms", v)) latency_baseline.samples.push_back({ labels, v / 1000.0 });
            }
            if (figures.is_object() && figures.contains("state") && figures["state"].is_string())
                down.samples.push_back({ labels, figures["state"] == "down" ? 1.0 : 0.0 });
            if (figures.is_object() && figures.contains("spool"))
                for (PerChannel &p : per_spool)
                    if (Get(figures["spool"], p.key, v)) p.family.samples.push_back({ labels, v });
        }
    }

    std::string out;
    for (const Family *f : { &loads, &failed, &loaded, &parallel }) Write(out, *f);
    for (const PerChannel &p : per_channel) Write(out, p.family);
    for (const Family *f :
        { &answers, &errors, &median, &p99, &last_success, &in_flight_limit, &latency_baseline, &down })
        Write(out, *f);
    for (const PerChannel &p : per_spool) Write(out, p.family);
    return out;
}
