#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include "measures.h"
#include "records.h"

namespace vxbench {

namespace {

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
    // Thousands separated by a comma keep wide numbers readable.
    char text[64];
    snprintf(text, sizeof(text), "%.0f", value);
    std::string digits(text), grouped;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0 && digits[i - 1] != '-') grouped += ",";
        grouped += digits[i];
    }
    return grouped;
}

// A row of the table at the top, the verdict against the target.
struct Summary {
    std::string measure, target, result, verdict;
};

// What the sections add up: rows for the table at the top, and the text
// below it, in the order the sections run.
struct Report {
    std::vector<Summary> summary;
    std::ostringstream body;
};

// The facts about the run the script recorded, from every meta record;
// a field written again later wins.
class Meta
{
public:
    explicit Meta(const Records &records)
    {
        for (const Record &record : records.Of("meta"))
            for (const auto &[name, value] : record.items())
                if (name != "kind") fields[name] = value;
    }

    bool Empty() const { return fields.empty(); }
    bool Has(const std::string &name) const { return fields.count(name) != 0; }

    // The field as it reads in a sentence; empty when it is missing.
    std::string Get(const std::string &name) const
    {
        auto it = fields.find(name);
        if (it == fields.end()) return "";
        return it->second.is_string() ? it->second.get<std::string>() : it->second.dump();
    }

private:
    std::map<std::string, Record> fields;
};

void WriteThroughputPlot(const std::string &path,
    const std::map<size_t, std::map<std::string, std::pair<double, double>>> &points)
{
    std::ofstream plot(path);
    plot << "# body_bytes plugin_pinned bare_pinned plugin_free bare_free (posts per second)\n";
    for (const auto &[size, by_label] : points) {
        plot << size;
        for (const char *label : { "pinned", "free" }) {
            auto it = by_label.find(label);
            if (it == by_label.end())
                plot << " NaN NaN";
            else
                plot << " " << Fixed(it->second.first, 1) << " " << Fixed(it->second.second, 1);
        }
        plot << "\n";
    }
    if (!plot) throw std::runtime_error("cannot write " + path);
}

// The probe post before each run, the posts made over the whole step
// against the collector's own count, and the machine's load.
void ThroughputChecks(const Records &records, const Meta &meta, Report &report)
{
    std::ostringstream &body = report.body;
    const std::vector<Record> &probes = records.Of("probe");
    uint64_t posts = 0;
    for (const Record &r : records.Of("throughput_posts")) posts += Count(r, "posts");

    if (!probes.empty()) {
        const Record &probe = probes.back();
        body << "Before each run a " << SizeText(Count(probe, "body_bytes")) << " probe post sent "
             << Group(Number(probe, "uploaded_bytes")) << " of " << Group(Number(probe, "body_bytes"))
             << " body bytes and got its 200";
    }
    if (meta.Has("server_requests") && records.Has("throughput_posts")) {
        body << "; over the whole throughput step the benchmark made " << Group(static_cast<double>(posts))
             << " posts and the collector counted " << Group(std::stod(meta.Get("server_requests")))
             << " requests on " << meta.Get("server_connections") << " connections";
    }
    if (!probes.empty()) body << ".";
    body << " Load average when the run began: " << meta.Get("load") << ".";
    if (meta.Has("load") && meta.Has("cpus") && std::stod(meta.Get("load")) > std::stod(meta.Get("cpus"))) {
        body << " The machine was busy with other work (more runnable tasks than CPUs), so single "
                "rounds scatter widely; the medians of alternating rounds still compare like with "
                "like, and the instruction counts below do not depend on load.";
    }
    body << "\n\n";
}

void ThroughputSection(const Records &records, const Meta &meta, const std::string &plot_path, Report &report)
{
    if (!records.Has("throughput")) return;
    // Placement, then body size, then the rounds in the order they ran.
    std::map<std::string, std::map<size_t, std::vector<Record>>> runs;
    for (const Record &r : records.Of("throughput"))
        runs[Text(r, "placement")][Count(r, "body_bytes")].push_back(r);

    std::ostringstream &body = report.body;
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
    const bool own_collector = meta.Has("server_requests");
    const std::pair<const char *, const char *> placements[] = {
        { "pinned", own_collector ? "collector and benchmark on one CPU" : "benchmark on one CPU" },
        { "free", "placed by the scheduler" },
    };
    for (const auto &[label, title] : placements) {
        if (!runs.count(label)) continue;
        body << "### " << title << "\n\n"
             << "| body | posts per run | plug-in posts/s | bare loop posts/s | plug-in MiB/s | "
                "plug-in / bare, per round | median ratio, pairs of rounds | middle half of the pair ratios | "
                "CPU time per post, plug-in / bare |\n"
             << "|---:|---:|---:|---:|---:|---|---:|---:|---:|\n";
        for (const auto &[size, rounds] : runs[label]) {
            std::vector<double> a, b, ratio, cpu_ratio;
            std::string per_round;
            for (const Record &r : rounds) {
                a.push_back(Number(r, "plugin_posts_per_s"));
                b.push_back(Number(r, "bare_posts_per_s"));
                ratio.push_back(a.back() / b.back());
                cpu_ratio.push_back(Number(r, "plugin_cpu_us_per_post") / Number(r, "bare_cpu_us_per_post"));
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
            body << "| " << SizeText(size) << " | " << Group(Number(rounds.front(), "posts")) << " | "
                 << Group(ma) << " | " << Group(mb) << " | "
                 << Fixed(ma * static_cast<double>(size) / (1 << 20), 1) << " | " << per_round << " | "
                 << Fixed(mr, 3) << " | " << Fixed(Quantile(pair_ratio, 0.25), 3) << " – "
                 << Fixed(Quantile(pair_ratio, 0.75), 3) << " | " << Fixed(Median(cpu_ratio), 3) << " |\n";
            report.summary.push_back({ "plug-in / bare loop posts/s, " + SizeText(size) + " bodies, " + title,
                "≥ 0.95", Fixed(mr, 3), Verdict(mr >= 0.95) });
            plot_points[size][label] = { ma, mb };
        }
        body << "\n";
    }
    if (!plot_path.empty()) WriteThroughputPlot(plot_path, plot_points);
    ThroughputChecks(records, meta, report);
}

// vxsink replaying a file against the bare loop with the same bodies.
void ReplaySection(const Records &records, Report &report)
{
    if (!records.Has("replay")) return;
    std::map<size_t, std::vector<Record>> runs;
    for (const Record &r : records.Of("replay")) runs[Count(r, "body_bytes")].push_back(r);

    std::ostringstream &body = report.body;
    body << "## Replay with vxsink\n\n"
         << "`vxsink --status < FILE` replaying a file of JSON lines, against the bare loop posting "
            "the same bodies from memory, both with the collector on one CPU and alternating, "
            "vxsink first in odd rounds. vxsink's rate is the posts over the time from its "
            "configuration load to its last success, as its status reports them: starting the "
            "process and loading the plug-in are left out; reading and queueing the input are in, "
            "on the same CPU as the posts. The whole run's ratio counts from starting vxsink to its exit; "
            "CPU time is each process's, every thread, per post (the collector's is in neither).\n\n"
         << "| line | lines | vxsink posts/s | bare loop posts/s | vxsink / bare, per round | median ratio | "
            "whole run, median ratio | CPU time per post, vxsink / bare |\n"
         << "|---:|---:|---:|---:|---|---:|---:|---:|\n";
    for (const auto &[size, rounds] : runs) {
        std::vector<double> a, b, ratio, whole, cpu;
        std::string per_round;
        for (const Record &r : rounds) {
            a.push_back(Number(r, "vxsink_posts_per_s"));
            b.push_back(Number(r, "bare_posts_per_s"));
            ratio.push_back(a.back() / b.back());
            whole.push_back(Number(r, "vxsink_whole_run_posts_per_s") / b.back());
            cpu.push_back(Number(r, "vxsink_cpu_us_per_post") / Number(r, "bare_cpu_us_per_post"));
            if (!per_round.empty()) per_round += ' ';
            per_round += Fixed(ratio.back(), 3);
        }
        const double mr = Median(ratio);
        body << "| " << SizeText(size) << " | " << Group(Number(rounds.front(), "lines")) << " | "
             << Group(Median(a)) << " | " << Group(Median(b)) << " | " << per_round << " | " << Fixed(mr, 3)
             << " | " << Fixed(Median(whole), 3) << " | " << Fixed(Median(cpu), 3) << " |\n";
        report.summary.push_back({ "vxsink replay / bare loop posts/s, " + Group(Number(rounds.front(), "lines")) +
                " lines of " + SizeText(size) + ", collector and both on one CPU",
            "≥ 0.95", Fixed(mr, 3), Verdict(mr >= 0.95) });
    }
    body << "\n";
}

// Instructions per post, from the median count of each side and post count.
void InstructionsSection(const Records &records, Report &report)
{
    // Side, then post count, then the counts of each repetition.
    std::map<std::string, std::map<uint64_t, std::vector<double>>> runs;
    std::string tool;
    for (const Record &r : records.Of("instructions")) {
        runs[Text(r, "side")][Count(r, "posts")].push_back(Number(r, "instructions"));
        tool = Text(r, "tool");
    }
    std::map<std::string, std::map<uint64_t, double>> medians;
    for (const auto &[side, counts] : runs)
        for (const auto &[n, counted] : counts) medians[side][n] = Median(counted);
    if (medians["plugin"].size() < 2 || medians["bare"].size() < 2) return;

    auto per_post = [](const std::map<uint64_t, double> &counts) {
        auto lo = counts.begin();
        auto hi = std::prev(counts.end());
        return (hi->second - lo->second) / static_cast<double>(hi->first - lo->first);
    };
    const double pp = per_post(medians["plugin"]), bp = per_post(medians["bare"]);
    std::ostringstream &body = report.body;
    body << "## Instructions per post\n\n"
         << "1 KiB bodies, counted by " << tool << " over the whole process, all threads. "
         << "Each side runs with two post counts, each count " << runs["plugin"].begin()->second.size()
         << " times (the table shows the median); the difference divided by the difference in "
            "posts leaves out start-up. Both processes load the plug-in and start "
            "its thread, which stays idle while the bare loop posts, so both run the allocator's "
            "multi-threaded paths as the agent always does; the last row is the bare loop alone "
            "in a single-threaded process.\n\n"
         << "| | ";
    for (const auto &entry : medians["bare"]) body << entry.first << " posts | ";
    body << "per post | against the bare loop |\n|---|";
    for (size_t i = 0; i < medians["bare"].size(); ++i) body << "---:|";
    body << "---:|---:|\n";
    const std::pair<const char *, const char *> sides[] = {
        { "plugin", "plug-in" },
        { "bare", "bare loop" },
        { "bare-single", "bare loop, single-threaded process" },
    };
    for (const auto &[key, label] : sides) {
        if (medians[key].size() < 2) continue;
        body << "| " << label << " | ";
        for (const auto &entry : medians[key]) body << Group(entry.second) << " | ";
        body << Group(per_post(medians[key])) << " | " << Fixed(per_post(medians[key]) / bp, 3) << " |\n";
    }
    body << "\n";
    report.summary.push_back({ "instructions per post, plug-in / bare loop", "≤ 1.05", Fixed(pp / bp, 3),
        Verdict(pp / bp <= 1.05) });
}

void MemorySection(const Records &records, Report &report)
{
    // The last run of each mode.
    std::map<std::string, Record> runs;
    for (const Record &r : records.Of("memory")) runs[Text(r, "mode")] = r;
    if (!runs.count("post") || !runs.count("build")) return;

    const Record &post = runs["post"];
    const double post_kib = Number(post, "peak_kib"), build_kib = Number(runs["build"], "peak_kib");
    const double extra = (post_kib - build_kib) / 1024.0;
    const std::string payload = SizeText(Count(post, "payload_bytes"));
    report.body << "## Peak memory\n\n"
                << "Peak resident set (VmHWM) of a process that starts the plug-in and builds one " << payload
                << " payload; one hands it to the plug-in and waits until it is posted, the other only "
                   "builds it.\n\n"
                << "| process | peak | posting took |\n|---|---:|---:|\n"
                << "| builds only | " << Fixed(build_kib / 1024.0, 1) << " MiB | |\n"
                << "| builds and posts | " << Fixed(post_kib / 1024.0, 1) << " MiB | "
                << Fixed(Number(post, "seconds"), 3) << " s |\n\nPosting added " << Fixed(extra, 1)
                << " MiB.\n\n";
    report.summary.push_back({ "peak memory posting a " + payload + " payload, above building it", "≤ 32 MiB",
        Fixed(extra, 1) + " MiB", Verdict(extra <= 32.0) });
}

// What became of the payloads queued when the stop came, stop by stop:
// posts the benchmark's server answered before and after the request, posts
// the plug-in logged as failed, and payloads it released unposted by its own
// count.
void BacklogText(const std::vector<Record> &runs, std::ostringstream &body)
{
    // Whether every payload is in one of the counts, and whether nothing but
    // the post in progress (finished or cut short) happened after the
    // request. The server counts a post when it answers, the plug-in when it
    // has read the answer: the post in progress can reach the server whole and
    // still be cut short, and then counts as both posted and failed.
    bool accounted = true, nothing_new = true;
    for (const Record &r : runs) {
        const uint64_t after = Count(r, "posted_after_stop") + Count(r, "failed_posts");
        const uint64_t counted = Count(r, "posted_before_stop") + after + Count(r, "not_sent");
        const uint64_t queued = Count(r, "queued");
        accounted = accounted && (counted == queued || (counted == queued + 1 && Count(r, "failed_posts") >= 1));
        nothing_new = nothing_new && after <= 1;
    }
    body << "\nWith a backlog, " << Group(Number(runs.front(), "queued"))
         << " payloads are queued at once for a loopback server of the benchmark's own, which answers 200 "
            "and counts the posts it answered, and the stop is requested right after. Once asked to stop, "
            "the plug-in is to post nothing new: it cuts short the post in progress, which it logs as a "
            "failed post, and releases the payloads still queued unposted, giving their number in one line, "
            "\"stopped, N queued payloads not sent\" (no line when there are none).\n\n"
         << "| stop | queued | posted before the stop request | posted after it | cut short or failed (logged) | "
            "released unposted (the \"stopped\" line) |"
         << (accounted ? "" : " neither posted nor reported |") << " stop took |\n|---:|---:|---:|---:|---:|---:|"
         << (accounted ? "" : "---:|") << "---:|\n";
    for (size_t i = 0; i < runs.size(); ++i) {
        const Record &r = runs[i];
        body << "| " << i + 1 << " | " << Group(Number(r, "queued")) << " | "
             << Group(Number(r, "posted_before_stop")) << " | " << Group(Number(r, "posted_after_stop")) << " | "
             << Group(Number(r, "failed_posts")) << " | " << Group(Number(r, "not_sent")) << " | ";
        if (!accounted) {
            body << Group(Number(r, "queued") - Number(r, "posted_before_stop") - Number(r, "posted_after_stop") -
                        Number(r, "failed_posts") - Number(r, "not_sent"))
                 << " | ";
        }
        body << Fixed(Number(r, "ms"), 2) << " ms |\n";
    }
    if (!accounted) {
        body << "\nIn some stops the counts do not add up to the payloads queued. A positive figure in the "
                "\"neither\" column is payloads the plug-in let go of without a post or a log line; a negative "
                "one, posts the server answered that the plug-in also logged as failed.\n";
    }
    else if (!nothing_new) {
        body << "\nIn every stop each queued payload was posted, failed or released unposted, but in some the "
                "plug-in went on with queued payloads after the stop request: more than the post in progress "
                "was posted or failed after it.\n";
    }
    else {
        body << "\nIn every stop each queued payload was posted, cut short, or released unposted and counted in "
                "the plug-in's line (a post cut short after the server had answered it counts as both posted and "
                "cut short), and after the request at most the post in progress finished or was cut short: "
                "nothing new was posted.\n";
    }
}

void StopSection(const Records &records, Report &report)
{
    if (!records.Has("stop")) return;
    std::map<std::string, std::vector<double>> stops;
    std::vector<Record> backlog;
    for (const Record &r : records.Of("stop")) {
        const std::string kind = Text(r, "case");
        stops[kind].push_back(Number(r, "ms"));
        if (kind == "backlog") backlog.push_back(r);
    }

    std::ostringstream &body = report.body;
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
        body << "| " << label << " | " << v.size() << " | " << Fixed(med, 2) << " ms | " << Fixed(max, 2)
             << " ms |\n";
        if (std::string(key) == "backlog") continue;
        if (std::string(key) == "idle") {
            report.summary.push_back({ "stop latency, idle (median; max " + Fixed(max, 2) + " ms)", "≤ 20 ms",
                Fixed(med, 2) + " ms", Verdict(med <= 20.0) });
        }
        else {
            slow_median = std::max(slow_median, med);
            slow_max = std::max(slow_max, max);
        }
    }
    if (!backlog.empty()) BacklogText(backlog, body);
    if (slow_max > 0) {
        report.summary.push_back(
            { "stop latency during a transfer (worst median; max " + Fixed(slow_max / 1000, 3) + " s)", "≤ 1.2 s",
                Fixed(slow_median / 1000, 3) + " s", Verdict(slow_median <= 1200.0) });
    }
    body << "\n";
}

void ReloadSection(const Records &records, Report &report)
{
    const std::vector<Record> &firsts = records.Of("first_load");
    const std::vector<Record> &reloads = records.Of("reload");
    if (firsts.empty() || reloads.empty()) return;

    const Record &first = firsts.back();
    const double channels = Number(first, "channels");
    const double first_ms = Number(first, "ms");
    const double heap_held = (Number(first, "heap_loaded") - Number(first, "heap_before")) / (1 << 20);
    std::vector<double> times;
    for (const Record &r : reloads) times.push_back(Number(r, "ms"));
    // The allocator's caches make single readings wander by a few hundred
    // KiB either way; a leak shows as a rise from the first reloads' level
    // to the last ones', each the median of five.
    auto heap_level = [&](size_t from) {
        std::vector<double> heap;
        for (size_t i = from; i < std::min(from + 5, reloads.size()); i++) heap.push_back(Number(reloads[i], "heap"));
        return Median(heap);
    };
    const size_t last_five = reloads.size() > 5 ? reloads.size() - 5 : 0;
    const double heap_growth_kib = (heap_level(last_five) - heap_level(0)) / 1024.0;
    const double rss_growth_kib = Number(reloads.back(), "rss_kib") - Number(reloads.front(), "rss_kib");
    const double reload_median = Median(times);
    report.body << "## Reload\n\n"
                << "The plug-in's loader reading a file of " << Group(channels) << " channels ("
                << Fixed(Number(first, "file_bytes") / (1 << 20), 1)
                << " MiB, variables in every URL and header), then reloading it " << reloads.size()
                << " times, both header lists of every channel built after each load.\n\n"
                << "| first load | reload, median | reload, max | heap held by the configuration | "
                   "heap in use, reloads 1-5 → "
                << last_five + 1 << "-" << reloads.size() << " (medians) | RSS, reload 1 → " << reloads.size()
                << " |\n|---:|---:|---:|---:|---:|---:|\n"
                << "| " << Fixed(first_ms, 1) << " ms | " << Fixed(reload_median, 1) << " ms | "
                << Fixed(*std::max_element(times.begin(), times.end()), 1) << " ms | " << Fixed(heap_held, 1)
                << " MiB | " << (heap_growth_kib >= 0 ? "+" : "") << Fixed(heap_growth_kib, 1) << " KiB | "
                << (rss_growth_kib >= 0 ? "+" : "") << Fixed(rss_growth_kib, 0) << " KiB |\n\n";
    const double load_ms = std::max(first_ms, reload_median);
    report.summary.push_back({ "load of " + Group(channels) + " channels (slower of first load and median reload)",
        "well under 1 s (≤ 250 ms)", Fixed(load_ms, 1) + " ms", Verdict(load_ms <= 250.0) });
    report.summary.push_back({ "heap growth over " + std::to_string(reloads.size()) +
            " reloads (median of the last five against the first five)",
        "none (≤ 64 KiB)", Fixed(heap_growth_kib, 1) + " KiB", Verdict(heap_growth_kib <= 64.0) });
}

// The summaries of measures that write JSON lines of their own (parallel
// delivery, retries): one row each, every "target_X" beside its "X".
void JsonLinesSection(const std::string &path, const std::string &title, Report &report)
{
    if (path.empty()) return;
    std::ifstream in(path);
    if (!in) return;
    size_t rows = 0;
    for (std::string line; std::getline(in, line);) {
        Record r = Record::parse(line, nullptr, false);
        if (r.is_discarded() || !r.value("summary", false)) continue;
        std::string targets, results;
        for (const auto &[name, value] : r.items()) {
            if (!name.starts_with("target_") || !value.is_number()) continue;
            const std::string measured = name.substr(7);
            if (!r.contains(measured)) continue;
            if (!targets.empty()) {
                targets += ", ";
                results += ", ";
            }
            targets += measured + " " + Fixed(value.get<double>(), 2);
            results += measured + " " + Fixed(Number(r, measured.c_str()), 3);
        }
        if (r.contains("every_payload_once")) {
            targets += ", every payload once";
            results += r["every_payload_once"].get<bool>() ? ", every payload once" : ", **not** every payload once";
        }
        const std::string measure = r.value("measure", "?");
        rows++;
        report.summary.push_back({ measure, targets, results, Verdict(r.value("met", false)) });
    }
    if (rows == 0) return;
    report.body << "## " << title << "\n\nIts " << rows << " rows in the table at the top are the summary records of `"
                << std::filesystem::path(path).filename().string() << "`, which holds every record of the run.\n\n";
}

} // namespace

int WriteReport(const Args &args)
{
    const Records records(args.Require("raw"));
    const std::string out_path = args.Require("out");
    const Meta meta(records);

    Report report;
    ThroughputSection(records, meta, args.Get("plot-data", ""), report);
    ReplaySection(records, report);
    InstructionsSection(records, report);
    MemorySection(records, report);
    StopSection(records, report);
    ReloadSection(records, report);
    JsonLinesSection(args.Get("parallel", ""), "Parallel delivery", report);
    JsonLinesSection(args.Get("retry", ""), "Retries and the spool", report);
    JsonLinesSection(args.Get("compression", ""), "Body compression", report);
    JsonLinesSection(args.Get("adaptive", ""), "Adaptive limit and fallback URLs", report);

    std::ofstream out(out_path, std::ios::trunc);
    out << "# Benchmark results\n\n";
    if (!meta.Empty()) {
        out << "Run " << meta.Get("date") << " on " << meta.Get("machine") << ", libcurl " << meta.Get("curl")
            << ", posting to " << meta.Get("target") << ". Figures are medians of " << meta.Get("rounds")
            << " rounds unless marked otherwise.\n\n";
    }
    out << "| measure | target | result | |\n|---|---|---:|---|\n";
    for (const Summary &s : report.summary)
        out << "| " << s.measure << " | " << s.target << " | " << s.result << " | " << s.verdict << " |\n";
    out << "\n" << report.body.str();
    if (!out) throw std::runtime_error("cannot write " + out_path);
    return 0;
}

} // namespace vxbench
