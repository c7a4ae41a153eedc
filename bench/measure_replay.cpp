#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "measures.h"
#include "records.h"

namespace vxbench {

namespace {

// CPU time of this process (every thread), in seconds.
double ProcessCpuSeconds()
{
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// `lines` lines of `size` bytes each (newline apart), distinct bodies of
// the benchmark's JSON-looking text.
std::string WriteLines(const TempDir &dir, size_t size, size_t lines)
{
    const std::string path = (dir.Path() / ("lines-" + std::to_string(size) + ".jsonl")).string();
    std::ofstream out(path, std::ios::binary);
    for (size_t i = 0; i < lines; i++) {
        std::unique_ptr<uint8_t[]> body = MakeBody(size, static_cast<unsigned>(i));
        out.write(reinterpret_cast<const char *>(body.get()), static_cast<std::streamsize>(size));
        out.put('\n');
    }
    if (!out) throw std::runtime_error("cannot write " + path);
    return path;
}

// The same bodies in memory, one payload per line, for the bare loop.
std::vector<std::unique_ptr<vxPluginSinkPayload>> ReadLines(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<std::unique_ptr<vxPluginSinkPayload>> payloads;
    for (std::string line; std::getline(in, line);) {
        payloads.push_back(std::make_unique<vxPluginSinkPayload>(line.size(),
            reinterpret_cast<const uint8_t *>(line.data()), std::set<std::string>{ bench_channel },
            BenchFlags()));
    }
    return payloads;
}

// Runs vxsink as an operator replays a file (`vxsink ... --status < file`)
// and returns its status: what it printed on standard output. `seconds` is
// the whole run's wall time. Without `status`, for a vxsink that has no
// such option, the status is null.
nlohmann::json RunVxsink(const std::string &vxsink, const std::string &plugin, const std::string &conf,
    const std::string &input, const TempDir &dir, bool status_option, double &seconds, double &cpu_seconds)
{
    const Clock::time_point start = Clock::now();
    const std::string out = (dir.Path() / "status.json").string();
    const std::string err = (dir.Path() / "stderr.txt").string();
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int in_fd = open(input.c_str(), O_RDONLY);
        const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in_fd < 0 || out_fd < 0 || err_fd < 0) _exit(126);
        dup2(in_fd, STDIN_FILENO);
        dup2(out_fd, STDOUT_FILENO);
        dup2(err_fd, STDERR_FILENO);
        execl(vxsink.c_str(), vxsink.c_str(), "--plugin", plugin.c_str(), "--config", conf.c_str(), "--channel",
            bench_channel, status_option ? "--status" : "--", static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    const bool waited = wait4(pid, &status, 0, &usage) == pid;
    seconds = SecondsSince(start);
    cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    if (!waited || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::ifstream errors(err);
        std::stringstream text;
        text << errors.rdbuf();
        throw std::runtime_error("vxsink failed: " + text.str());
    }
    std::ifstream errors(err);
    std::string line;
    while (std::getline(errors, line))
        if (line.find(": Vornix Agent HTTP Sink Plugin v") == std::string::npos)
            throw std::runtime_error("vxsink reported: " + line);
    if (!status_option) return nullptr;
    std::ifstream status_file(out);
    return nlohmann::json::parse(status_file);
}

// Wall-clock microseconds of a status time ("2026-12-10T12:00:00.123456Z").
double Microseconds(const nlohmann::json &time)
{
    if (!time.is_string()) throw std::runtime_error("status without a time");
    struct tm tm {};
    const std::string text = time.get<std::string>();
    const char *rest = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
    if (rest == nullptr) throw std::runtime_error("unreadable time: " + text);
    const double fraction = *rest == '.' ? std::stod(std::string("0") + rest) : 0.0;
    return static_cast<double>(timegm(&tm)) * 1e6 + fraction * 1e6;
}

} // namespace

// vxsink replaying a file of lines against the bare loop posting the same
// bodies. vxsink's rate is taken from its own status: the posts over the
// time from its configuration load to its last success, which leaves out
// starting the process and loading the plug-in; reading the input runs all
// along, on the same CPU as the posts.
int MeasureReplay(const Args &args)
{
    const std::string url = args.Require("url");
    const std::string out = args.Require("out");
    const std::string plugin = args.Get("plugin", VX_PLUGIN_PATH);
    const std::string vxsink = args.Require("vxsink");
    const long rounds = args.GetLong("rounds", 5);
    const std::string label = args.Get("label", "pinned");
    // For a vxsink of before --status: its rate from the wall time alone.
    const bool status_option = args.GetLong("status", 1) != 0;
    const std::vector<std::pair<size_t, size_t>> runs = {
        { 1024, static_cast<size_t>(args.GetLong("lines-1k", 100000)) },
        { 65536, static_cast<size_t>(args.GetLong("lines-64k", 5000)) },
    };

    AgentScope agent;
    TempDir dir;
    const std::string conf = dir.Write("bench.json", ChannelConfigText(url));
    BareLoop bare(url);

    for (const auto &run : runs) {
        // Named copies: lambdas below take them, which structured bindings
        // do not allow every compiler.
        const size_t size = run.first, lines = run.second;
        const std::string input = WriteLines(dir, size, lines);
        std::vector<std::unique_ptr<vxPluginSinkPayload>> bodies = ReadLines(input);
        if (bodies.size() != lines) throw std::runtime_error("short input file");
        bare.Post(*bodies[0]);

        for (long round = 1; round <= rounds; ++round) {
            double a = 0, b = 0, wall = 0, cpu_a = 0, cpu_b = 0;
            auto run_vxsink = [&] {
                double seconds = 0, cpu = 0;
                const nlohmann::json status =
                    RunVxsink(vxsink, plugin, conf, input, dir, status_option, seconds, cpu);
                wall = static_cast<double>(lines) / seconds;
                cpu_a = cpu / static_cast<double>(lines) * 1e6;
                if (!status_option) {
                    a = wall;
                    return;
                }
                const nlohmann::json &channel = status.at("channels").at(bench_channel);
                if (channel.at("succeeded") != lines)
                    throw std::runtime_error("vxsink posted " + channel.at("succeeded").dump() + " of " +
                        std::to_string(lines));
                const double us = Microseconds(channel.at("last_success_time")) -
                    Microseconds(status.at("configuration").at("loaded_at"));
                a = static_cast<double>(lines) / (us / 1e6);
            };
            auto run_bare = [&] {
                const double cpu = ProcessCpuSeconds();
                Clock::time_point start = Clock::now();
                for (const auto &body : bodies) {
                    if (!bare.Post(*body))
                        throw std::runtime_error(std::string("bare loop post failed: ") + bare.LastError());
                }
                b = static_cast<double>(lines) / SecondsSince(start);
                cpu_b = (ProcessCpuSeconds() - cpu) / static_cast<double>(lines) * 1e6;
            };
            if (round % 2) {
                run_vxsink();
                run_bare();
            }
            else {
                run_bare();
                run_vxsink();
            }
            AppendRecord(out, "replay",
                { { "placement", label }, { "body_bytes", size }, { "lines", lines }, { "round", round },
                    { "vxsink_posts_per_s", Rounded(a, 1) }, { "bare_posts_per_s", Rounded(b, 1) },
                    { "vxsink_whole_run_posts_per_s", Rounded(wall, 1) },
                    { "vxsink_cpu_us_per_post", Rounded(cpu_a, 3) }, { "bare_cpu_us_per_post", Rounded(cpu_b, 3) } });
            printf("  %-6s %8zu B  round %2ld  %6zu lines  vxsink %9.1f/s  bare %9.1f/s  ratio %.3f"
                   "  (whole run %.3f)  CPU us/post %.1f %.1f\n",
                label.c_str(), size, round, lines, a, b, a / b, wall / b, cpu_a, cpu_b);
            fflush(stdout);
        }
    }
    RequireQuietLog(agent, "replay");
    return 0;
}

} // namespace vxbench
