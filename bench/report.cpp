#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include "measures.h"

namespace vxbench {

namespace {

using Record = std::vector<std::string>;

std::vector<Record> ReadRecords(const std::string &path)
{
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::vector<Record> records;
    std::string line;
    while (std::getline(in, line)) {
        Record fields;
        std::stringstream split(line);
        std::string field;
        while (std::getline(split, field, '\t')) fields.push_back(field);
        if (!fields.empty()) records.push_back(fields);
    }
    return records;
}

std::string SizeText(size_t bytes)
{
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    if (bytes >= 1024 && bytes % 1024 == 0) return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " B";
}

// The q-quantile with linear interpolation between neighbours.
double Quantile(std::vector<double> values, double q)
{
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const double pos = q * static_cast<double>(values.size() - 1);
    const size_t lo = static_cast<size_t>(pos);
    const size_t hi = std::min(lo + 1, values.size() - 1);
    return values[lo] + (values[hi] - values[lo]) * (pos - static_cast<double>(lo));
}

std::string Verdict(bool pass) { return pass ? "met" : "**missed**"; }

std::string Group(double value)
{
    // Thousands separated by a thin space keep wide numbers readable.
    char text[64];
    snprintf(text, sizeof(text), "%.0f", value);
    std::string digits(text), grouped;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0 && digits[i - 1] != '-') grouped += ",";
        grouped += digits[i];
    }
    return grouped;
}

struct Summary {
    std::string measure, target, result, verdict;
};

} // namespace

int WriteReport(const Args &args)
{
    const std::vector<Record> records = ReadRecords(args.Require("raw"));
    const std::string out_path = args.Require("out");
    const std::string plot_path = args.Get("plot-data", "");

    std::map<std::string, std::string> meta;
    // Placement label, then body size, then the rounds.
    std::map<std::string, std::map<size_t, std::vector<Record>>> throughput;
    // Side, then post count, then the counts of each repetition.
    std::map<std::string, std::map<long, std::vector<double>>> cpu_runs;
    std::string cpu_tool;
    std::map<std::string, Record> memory;
    std::map<std::string, std::vector<double>> stops;
    Record reload_first;
    std::vector<Record> reloads;
    std::vector<std::string> checks;
    std::string backlog_text;

    for (const Record &r : records) {
        const std::string &kind = r[0];
        if (kind == "meta" && r.size() >= 3) meta[r[1]] = r[2];
        else if (kind == "throughput" && r.size() >= 9) throughput[r[1]][std::stoul(r[2])].push_back(r);
        else if (kind == "cpu" && r.size() >= 5) {
            cpu_runs[r[1]][std::stol(r[2])].push_back(std::stod(r[3]));
            cpu_tool = r[4];
        }
        else if (kind == "memory" && r.size() >= 7) memory[r[1]] = r;
        else if (kind == "stop" && r.size() >= 4) {
            stops[r[1]].push_back(std::stod(r[3]));
            if (r[1] == "backlog" && r.size() >= 6) {
                const double queued = std::stod(r[4]), cut = std::stod(r[5]);
                backlog_text = "With a backlog, the worker still takes every queued payload before it "
                    "ends, but the progress check cuts each post short at once: in the last run " +
                    Group(cut) + " of " + Group(queued) + " queued payloads were dropped that way, one "
                    "failed-post log line each, and " + Group(queued - cut) + " were posted before the "
                    "stop request.";
            }
        }
        else if (kind == "reload" && r.size() >= 10 && r[1] == "first") reload_first = r;
        else if (kind == "reload" && r.size() >= 7 && r[1] == "again") reloads.push_back(r);
        else if (kind == "check") {
            std::string text;
            for (size_t i = 1; i < r.size(); ++i) {
                if (i > 1) text += ' ';
                text += r[i];
            }
            checks.push_back(text);
        }
    }

    std::vector<Summary> summary;
    std::ostringstream body;

    // Throughput.
    if (!throughput.empty()) {
        body << "## Throughput\n\n"
             << "Posts per second over one kept-alive connection, the plug-in (loaded with `dlopen`, "
                "its own queue and thread) against a bare libcurl loop with the same options, headers "
                "and bodies. Each round runs both, the plug-in first in odd rounds and the bare loop "
                "first in even ones. The posts/s columns are each side's median over its own runs. "
                "The comparison is made over pairs of rounds (one in each order): each side's time "
                "for the same posts, summed over the pair, so that running first or second favours "
                "neither; the per-round ratios are shown as measured. CPU time is the whole "
                "process's, per post.\n\n"
                "The step runs twice. Over loopback the collector shares the machine, and where the "
                "scheduler puts the posting thread against the collector's worker matters more than "
                "anything either side does: on the same CPU a post hands over in cache, across two "
                "CPUs it can take several times the CPU and wall time (on a small virtual machine "
                "especially), and a thread can stay in either state for seconds. The first run pins "
                "the benchmark (and a collector started by scripts/bench) to one CPU, so both sides "
                "always post the same way; the second leaves placement to the scheduler, as an agent "
                "would.\n\n";
        std::map<size_t, std::map<std::string, std::pair<double, double>>> plot_points;
        // Only a collector the script started itself is pinned with the
        // benchmark; someone else's stays where it is.
        const bool own_collector = meta.count("server_requests") != 0;
        const std::pair<const char *, const char *> labels[] = {
            { "pinned", own_collector ? "collector and benchmark on one CPU" : "benchmark on one CPU" },
            { "free", "placed by the scheduler" },
        };
        for (const auto &[label, title] : labels) {
            if (!throughput.count(label)) continue;
            body << "### " << title << "\n\n"
                 << "| body | posts per run | plug-in posts/s | bare loop posts/s | plug-in MiB/s | "
                    "plug-in / bare, per round | median ratio, pairs of rounds | middle half of the pair ratios | "
                    "CPU time per post, plug-in / bare |\n"
                 << "|---:|---:|---:|---:|---:|---|---:|---:|---:|\n";
            for (const auto &[size, rounds] : throughput[label]) {
                std::vector<double> a, b, ratio, cpu_ratio;
                std::string per_round;
                for (const Record &r : rounds) {
                    a.push_back(std::stod(r[5]));
                    b.push_back(std::stod(r[6]));
                    ratio.push_back(a.back() / b.back());
                    cpu_ratio.push_back(std::stod(r[7]) / std::stod(r[8]));
                    if (!per_round.empty()) per_round += ' ';
                    per_round += Fixed(ratio.back(), 3);
                }
                // Rounds 2k-1 and 2k run the two sides in both orders; pooling
                // each side's time over such a pair cancels what running first
                // or second does to a run (on a small machine the scheduler can
                // flip between a fast and a slow state from one run to the next).
                std::vector<double> pair_ratio;
                for (size_t i = 1; i < a.size(); i += 2) {
                    const double time_a = 1 / a[i - 1] + 1 / a[i], time_b = 1 / b[i - 1] + 1 / b[i];
                    pair_ratio.push_back(time_b / time_a);
                }
                if (pair_ratio.empty()) pair_ratio = ratio;
                const double ma = Median(a), mb = Median(b), mr = Median(pair_ratio);
                body << "| " << SizeText(size) << " | " << Group(std::stod(rounds.front()[4])) << " | "
                     << Group(ma) << " | " << Group(mb) << " | "
                     << Fixed(ma * static_cast<double>(size) / (1 << 20), 1) << " | " << per_round << " | "
                     << Fixed(mr, 3) << " | " << Fixed(Quantile(pair_ratio, 0.25), 3) << " – "
                     << Fixed(Quantile(pair_ratio, 0.75), 3) << " | " << Fixed(Median(cpu_ratio), 3) << " |\n";
                summary.push_back({ "plug-in / bare loop posts/s, " + SizeText(size) + " bodies, " + title,
                    "≥ 0.95", Fixed(mr, 3), Verdict(mr >= 0.95) });
                plot_points[size][label] = { ma, mb };
            }
            body << "\n";
        }
        if (!plot_path.empty()) {
            std::ofstream plot(plot_path);
            plot << "# body_bytes plugin_pinned bare_pinned plugin_free bare_free (posts per second)\n";
            for (const auto &[size, points] : plot_points) {
                plot << size;
                for (const char *label : { "pinned", "free" }) {
                    auto it = points.find(label);
                    if (it == points.end())
                        plot << " NaN NaN";
                    else
                        plot << " " << Fixed(it->second.first, 1) << " " << Fixed(it->second.second, 1);
                }
                plot << "\n";
            }
        }
        std::string posts, uploaded, expected;
        for (const std::string &check : checks) {
            std::stringstream fields(check);
            std::string what;
            fields >> what;
            if (what == "posts") {
                std::string count;
                fields >> count;
                posts = std::to_string((posts.empty() ? 0 : std::stoul(posts)) + std::stoul(count));
            }
            if (what == "uploaded") fields >> uploaded >> expected;
        }
        if (!uploaded.empty()) {
            body << "Before each run a 1 MiB probe post sent " << Group(std::stod(uploaded)) << " of "
                 << Group(std::stod(expected)) << " body bytes and got its 200";
        }
        if (meta.count("server_requests") && !posts.empty()) {
            body << "; over the whole throughput step the benchmark made " << Group(std::stod(posts))
                 << " posts and the collector counted " << Group(std::stod(meta["server_requests"]))
                 << " requests on " << meta["server_connections"] << " connections";
        }
        if (!uploaded.empty()) body << ".";
        body << " Load average when the run began: " << meta["load"] << ".";
        if (meta.count("load") && meta.count("cpus") &&
            std::stod(meta["load"]) > std::stod(meta["cpus"])) {
            body << " The machine was busy with other work (more runnable tasks than CPUs), so single "
                    "rounds scatter widely; the medians of alternating rounds still compare like with "
                    "like, and the instruction counts below do not depend on load.";
        }
        body << "\n\n";
    }

    // Instructions per post, from the median count of each side and count.
    std::map<std::string, std::map<long, double>> cpu;
    for (const auto &[side, counts] : cpu_runs)
        for (const auto &[n, runs] : counts) cpu[side][n] = Median(runs);
    if (cpu["plugin"].size() >= 2 && cpu["bare"].size() >= 2) {
        auto per_post = [](const std::map<long, double> &counts) {
            auto lo = counts.begin();
            auto hi = std::prev(counts.end());
            return (hi->second - lo->second) / static_cast<double>(hi->first - lo->first);
        };
        const double pp = per_post(cpu["plugin"]), bp = per_post(cpu["bare"]);
        body << "## Instructions per post\n\n"
             << "1 KiB bodies, counted by " << cpu_tool << " over the whole process, all threads. "
             << "Each side runs with two post counts, each count " << cpu_runs["plugin"].begin()->second.size()
             << " times (the table shows the median); the difference divided by the difference in "
                "posts leaves out start-up. Both processes load the plug-in and start "
                "its thread, which stays idle while the bare loop posts, so both run the allocator's "
                "multi-threaded paths as the agent always does; the last row is the bare loop alone "
                "in a single-threaded process.\n\n"
             << "| | ";
        for (const auto &entry : cpu["bare"]) body << entry.first << " posts | ";
        body << "per post | against the bare loop |\n|---|";
        for (size_t i = 0; i < cpu["bare"].size(); ++i) body << "---:|";
        body << "---:|---:|\n";
        const std::pair<const char *, const char *> sides[] = {
            { "plugin", "plug-in" },
            { "bare", "bare loop" },
            { "bare-single", "bare loop, single-threaded process" },
        };
        for (const auto &[key, label] : sides) {
            if (cpu[key].size() < 2) continue;
            body << "| " << label << " | ";
            for (const auto &entry : cpu[key]) body << Group(entry.second) << " | ";
            body << Group(per_post(cpu[key])) << " | " << Fixed(per_post(cpu[key]) / bp, 3) << " |\n";
        }
        body << "\n";
        summary.push_back({ "instructions per post, plug-in / bare loop", "≤ 1.05", Fixed(pp / bp, 3),
            Verdict(pp / bp <= 1.05) });
    }

    // Peak memory.
    if (memory.count("post") && memory.count("build")) {
        const double post = std::stod(memory["post"][3]), build = std::stod(memory["build"][3]);
        const double extra = (post - build) / 1024.0;
        body << "## Peak memory\n\n"
             << "Peak resident set (VmHWM) of a process that starts the plug-in and builds one "
             << SizeText(std::stoul(memory["post"][2]))
             << " payload; one hands it to the plug-in and waits until it is posted, the other only "
                "builds it.\n\n"
             << "| process | peak | posting took |\n|---|---:|---:|\n"
             << "| builds only | " << Fixed(build / 1024.0, 1) << " MiB | |\n"
             << "| builds and posts | " << Fixed(post / 1024.0, 1) << " MiB | " << memory["post"][6]
             << " s |\n\nPosting added " << Fixed(extra, 1) << " MiB.\n\n";
        summary.push_back({ "peak memory posting a " + SizeText(std::stoul(memory["post"][2])) +
                                " payload, above building it",
            "≤ 32 MiB", Fixed(extra, 1) + " MiB", Verdict(extra <= 32.0) });
    }

    // Stop latency.
    if (!stops.empty()) {
        body << "## Stop latency\n\n"
             << "Time for `Terminate()` and destroying the instance, whose destructor joins the "
                "thread. Idle: the worker waits on an empty queue after a post. During a transfer: a "
                "loopback server of the benchmark's own that stops reading the upload, or reads the "
                "request and never answers; stop requests are spread over a second.\n\n"
             << "| case | stops | median | max |\n|---|---:|---:|---:|\n";
        const std::pair<const char *, const char *> cases[] = {
            { "idle", "idle" },
            { "upload", "during a transfer, upload not read" },
            { "answer", "during a transfer, answer never sent" },
            { "backlog", "with a backlog of queued payloads (no target)" },
        };
        double slow_median = 0, slow_max = 0;
        for (const auto &[key, label] : cases) {
            if (!stops.count(key)) continue;
            const std::vector<double> &v = stops[key];
            const double med = Median(v), max = *std::max_element(v.begin(), v.end());
            body << "| " << label << " | " << v.size() << " | " << Fixed(med, 2) << " ms | "
                 << Fixed(max, 2) << " ms |\n";
            if (std::string(key) == "backlog") continue;
            if (std::string(key) == "idle") {
                summary.push_back({ "stop latency, idle (median; max " + Fixed(max, 2) + " ms)", "≤ 20 ms",
                    Fixed(med, 2) + " ms", Verdict(med <= 20.0) });
            }
            else {
                slow_median = std::max(slow_median, med);
                slow_max = std::max(slow_max, max);
            }
        }
        if (!backlog_text.empty()) body << "\n" << backlog_text << "\n";
        if (slow_max > 0) {
            summary.push_back({ "stop latency during a transfer (worst median; max " + Fixed(slow_max / 1000, 3) +
                                    " s)",
                "≤ 1.2 s", Fixed(slow_median / 1000, 3) + " s", Verdict(slow_median <= 1200.0) });
        }
        body << "\n";
    }

    // Reload.
    if (!reload_first.empty() && !reloads.empty()) {
        const long channels = std::stol(reload_first[2]);
        const double first_ms = std::stod(reload_first[4]);
        const double heap_held = (std::stod(reload_first[6]) - std::stod(reload_first[5])) / (1 << 20);
        std::vector<double> times;
        for (const Record &r : reloads) times.push_back(std::stod(r[3]));
        const double heap_first = std::stod(reloads.front()[4]), heap_last = std::stod(reloads.back()[4]);
        const double rss_first = std::stod(reloads.front()[5]), rss_last = std::stod(reloads.back()[5]);
        const double heap_growth_kib = (heap_last - heap_first) / 1024.0;
        const double rss_growth_kib = rss_last - rss_first;
        const double reload_median = Median(times);
        body << "## Reload\n\n"
             << "The plug-in's loader reading a file of " << Group(channels) << " channels ("
             << Fixed(std::stod(reload_first[3]) / (1 << 20), 1)
             << " MiB, variables in every URL and header), then reloading it " << reloads.size()
             << " times, both header lists of every channel built after each load.\n\n"
             << "| first load | reload, median | reload, max | heap held by the configuration | "
                "heap in use, reload 1 → " << reloads.size() << " | RSS, reload 1 → " << reloads.size()
             << " |\n|---:|---:|---:|---:|---:|---:|\n"
             << "| " << Fixed(first_ms, 1) << " ms | " << Fixed(reload_median, 1) << " ms | "
             << Fixed(*std::max_element(times.begin(), times.end()), 1) << " ms | "
             << Fixed(heap_held, 1) << " MiB | " << (heap_growth_kib >= 0 ? "+" : "")
             << Fixed(heap_growth_kib, 1) << " KiB | " << (rss_growth_kib >= 0 ? "+" : "")
             << Fixed(rss_growth_kib, 0) << " KiB |\n\n";
        const double load_ms = std::max(first_ms, reload_median);
        summary.push_back({ "load of " + Group(channels) + " channels (slower of first load and median reload)",
            "well under 1 s (≤ 250 ms)", Fixed(load_ms, 1) + " ms", Verdict(load_ms <= 250.0) });
        summary.push_back({ "heap growth over " + std::to_string(reloads.size()) + " reloads", "none (≤ 64 KiB)",
            Fixed(heap_growth_kib, 1) + " KiB", Verdict(heap_growth_kib <= 64.0) });
    }

    std::ofstream out(out_path, std::ios::trunc);
    out << "# Benchmark results\n\n";
    if (!meta.empty()) {
        out << "Run " << meta["date"] << " on " << meta["machine"] << ", libcurl " << meta["curl"]
            << ", posting to " << meta["target"] << ". Figures are medians of " << meta["rounds"]
            << " rounds unless marked otherwise.\n\n";
    }
    out << "| measure | target | result | |\n|---|---|---:|---|\n";
    for (const Summary &s : summary)
        out << "| " << s.measure << " | " << s.target << " | " << s.result << " | " << s.verdict << " |\n";
    out << "\n" << body.str();
    if (!out) throw std::runtime_error("cannot write " + out_path);
    return 0;
}

} // namespace vxbench
