// vxsink: a small host for the HTTP sink plug-in, so that it can be run and
// tried against a real collector without the agent. It loads the plug-in the
// way the agent does, queues payloads read from files or standard input, and
// leaves the plug-in's log lines on standard error exactly as it writes them.
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "vxconfig.h"
#include "vxlog.h"
#include "vxplugin.h"
#include "vxsink_version.h"

namespace {

constexpr int exit_ok = 0;
constexpr int exit_failure = 1;
constexpr int exit_usage = 2;

// Payloads queued but not yet released by the plug-in. Reading pauses at this
// many, so a fast producer cannot grow the queue without bound while the
// collector is slow.
constexpr size_t max_outstanding = 1024;

const char usage_text[] =
    "Usage: vxsink --plugin PATH --config FILE --channel NAME [OPTION]... [FILE]...\n"
    "  or:  vxsink --version [--plugin PATH]\n"
    "\n"
    "Loads the sink plug-in PATH as the agent does, creates an instance named TAG\n"
    "(default \"http\") reading its channels from FILE, and queues payloads to it:\n"
    "each FILE argument is one payload; without FILE, each non-blank line of\n"
    "standard input is one. Every payload is addressed to all --channel names.\n"
    "\n"
    "  --plugin PATH        plug-in library to load\n"
    "  --config FILE        the instance's configuration file\n"
    "  --channel NAME       channel to address payloads to (repeatable)\n"
    "  --tag TAG            instance name, first word of its log lines\n"
    "  --format json        send bodies as they are, marked JSON (default)\n"
    "  --format msgpack     convert each JSON body to MessagePack first; input that\n"
    "                       is not JSON is reported and skipped\n"
    "  --gzip               compress each body (gzip format)\n"
    "  --var NAME=VALUE     agent variable: \"${NAME}\" expands to VALUE (repeatable)\n"
    "  --uuid-agent ID      stored agent identifier, \"${uuid_agent}\"\n"
    "  --uuid-site ID       stored site identifier, \"${uuid_site}\"\n"
    "  --uuid-serial ID     stored serial identifier, \"${uuid_serial}\"\n"
    "  --debug              log the plug-in's debug lines\n"
    "  --debug-curl         trace every HTTP exchange (with --debug)\n"
    "  --version            show the versions of vxsink, its agent library and\n"
    "                       libcurl; with --plugin, also the plug-in's library\n"
    "                       name, display name and version, then exit\n"
    "  --help               show this text\n"
    "\n"
    "Signals: SIGHUP makes the plug-in reload its configuration; SIGINT and\n"
    "SIGTERM stop reading and stop the plug-in at once, aborting a transfer.\n"
    "At the end of input vxsink waits until every payload has been posted.\n"
    "\n"
    "Exit status: 0 all input was queued and the plug-in finished with it;\n"
    "1 some input was skipped, or the plug-in could not be loaded; 2 usage\n"
    "error; 128 + the signal's number when stopped by SIGINT or SIGTERM.\n";

struct Options {
    std::string plugin;
    std::string config;
    std::set<std::string> channels;
    std::string tag = "http";
    bool msgpack = false;
    bool gzip = false;
    std::map<std::string, std::string> vars;
    std::map<vxUUID, std::string> uuids;
    bool debug = false;
    bool debug_curl = false;
    std::vector<std::string> files;
    bool version = false;
};

void Error(const std::string &text) { vx_printf("vxsink: %s\n", text.c_str()); }

void UsageError(const std::string &text)
{
    Error(text);
    vx_printf("vxsink: try 'vxsink --help'\n");
}

// Returns the options, or the exit status when the program should end now.
std::variant<Options, int> ParseArguments(int argc, char **argv)
{
    Options o;
    bool only_files = false;

    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (only_files || arg.empty() || arg == "-" || arg[0] != '-') {
            o.files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            only_files = true;
            continue;
        }

        // "--name=value" and "--name value" are both accepted.
        std::string name = arg;
        std::optional<std::string> inline_value;
        if (size_t eq = arg.find('='); eq != std::string::npos) {
            name = arg.substr(0, eq);
            inline_value = arg.substr(eq + 1);
        }
        auto value = [&]() -> std::optional<std::string> {
            if (inline_value) return inline_value;
            if (i + 1 >= argc) return std::nullopt;
            return std::string(argv[++i]);
        };
        auto flag = [&]() {
            if (inline_value) {
                UsageError(name + " takes no value");
                return false;
            }
            return true;
        };

        if (name == "--help") {
            fputs(usage_text, stdout);
            return exit_ok;
        }
        if (name == "--gzip" || name == "--debug" || name == "--debug-curl" || name == "--version") {
            if (!flag()) return exit_usage;
            if (name == "--version") o.version = true;
            else if (name == "--gzip") o.gzip = true;
            else if (name == "--debug") o.debug = true;
            else o.debug_curl = true;
            continue;
        }

        static const std::set<std::string> with_value = { "--plugin", "--config", "--channel",
            "--tag", "--format", "--var", "--uuid-agent", "--uuid-site", "--uuid-serial" };
        if (with_value.count(name) == 0) {
            UsageError("unknown option: " + arg);
            return exit_usage;
        }
        std::optional<std::string> v = value();
        if (!v) {
            UsageError(name + " needs a value");
            return exit_usage;
        }

        if (name == "--plugin") o.plugin = *v;
        else if (name == "--config") o.config = *v;
        else if (name == "--channel") {
            if (v->empty()) {
                UsageError("--channel needs a name");
                return exit_usage;
            }
            o.channels.insert(*v);
        }
        else if (name == "--tag") o.tag = *v;
        else if (name == "--format") {
            if (*v == "json") o.msgpack = false;
            else if (*v == "msgpack") o.msgpack = true;
            else {
                UsageError("--format must be json or msgpack, not '" + *v + "'");
                return exit_usage;
            }
        }
        else if (name == "--var") {
            size_t eq = v->find('=');
            if (eq == std::string::npos || eq == 0) {
                UsageError("--var needs NAME=VALUE, not '" + *v + "'");
                return exit_usage;
            }
            o.vars["${" + v->substr(0, eq) + "}"] = v->substr(eq + 1);
        }
        else if (name == "--uuid-agent") o.uuids[UUID_AGENT] = *v;
        else if (name == "--uuid-site") o.uuids[UUID_SITE] = *v;
        else if (name == "--uuid-serial") o.uuids[UUID_SERIAL] = *v;
    }

    if (o.version) return o;
    if (o.plugin.empty()) {
        UsageError("--plugin is required");
        return exit_usage;
    }
    if (o.config.empty()) {
        UsageError("--config is required");
        return exit_usage;
    }
    if (o.channels.empty()) {
        UsageError("at least one --channel is required");
        return exit_usage;
    }
    return o;
}

// Closes a descriptor on every path out.
class FileDescriptor
{
public:
    explicit FileDescriptor(int fd = -1) : fd(fd) { }
    ~FileDescriptor()
    {
        if (fd >= 0) close(fd);
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int Get() const { return fd; }

private:
    int fd;
};

uint32_t LittleEndianWord(const unsigned char *bytes)
{
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
        (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

std::string Hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%08x", value);
    return text;
}

// Checks the exported ABI record as the agent does before it trusts the
// factory. Returns an empty string when the record matches.
std::string CheckAbiRecord(const void *symbol)
{
    // Where the loader knows the symbol's size, never read past it: a
    // library that exports a shorter object of that name is simply wrong.
    Dl_info info;
    void *found = nullptr;
    const ElfW(Sym) *entry = nullptr;
    if (dladdr1(symbol, &info, &found, RTLD_DL_SYMENT) != 0)
        entry = static_cast<const ElfW(Sym) *>(found);
    if (entry != nullptr && entry->st_size != 0 && entry->st_size < sizeof(vxPluginABI)) {
        return "ABI record is " + std::to_string(entry->st_size) + " bytes, expected " +
            std::to_string(sizeof(vxPluginABI));
    }

    unsigned char bytes[sizeof(vxPluginABI)];
    memcpy(bytes, symbol, sizeof(bytes));
    const uint32_t magic = LittleEndianWord(bytes);
    const uint32_t size = LittleEndianWord(bytes + 4);
    const uint32_t abi = LittleEndianWord(bytes + 8);
    const uint32_t version = LittleEndianWord(bytes + 12);

    if (magic != VX_PLUGIN_ABI_MAGIC) return "ABI record magic is " + Hex(magic) + ", expected \"BAXV\"";
    if (size != sizeof(vxPluginABI))
        return "ABI record size is " + std::to_string(size) + ", expected " + std::to_string(sizeof(vxPluginABI));
    if (abi != VX_ABI_VERSION)
        return "built for agent ABI " + std::to_string(abi) + ", this host has " + std::to_string(VX_ABI_VERSION);
    if (version != VX_PLUGIN_VERSION)
        return "plug-in interface " + Hex(version) + ", this host has " + Hex(VX_PLUGIN_VERSION);
    return "";
}

// Counts payloads the plug-in still holds and wakes the main loop as each one
// is released, on whichever thread drops the last reference.
class ReleaseTracker
{
public:
    bool Open()
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
        read_end = std::make_unique<FileDescriptor>(fds[0]);
        write_end = std::make_unique<FileDescriptor>(fds[1]);
        return true;
    }

    // Owns one payload's body and reports its release.
    struct Holder {
        Holder(ReleaseTracker &tracker, size_t length, std::unique_ptr<uint8_t[]> data,
            const std::set<std::string> &channels, vxFlags<vxPlugin::DispatchFlags> flags)
            : payload(length, std::move(data), channels, flags), tracker(tracker)
        {
            tracker.outstanding++;
        }
        ~Holder() { tracker.Released(); }
        Holder(const Holder &) = delete;
        Holder &operator=(const Holder &) = delete;

        vxPluginSinkPayload payload;
        ReleaseTracker &tracker;
    };

    std::shared_ptr<vxPluginSinkPayload> Make(std::vector<uint8_t> body,
        const std::set<std::string> &channels, vxFlags<vxPlugin::DispatchFlags> flags)
    {
        auto data = std::make_unique_for_overwrite<uint8_t[]>(body.size());
        if (!body.empty()) memcpy(data.get(), body.data(), body.size());
        auto holder = std::make_shared<Holder>(*this, body.size(), std::move(data), channels, flags);
        // The agent's payload type, sharing ownership with the holder.
        return std::shared_ptr<vxPluginSinkPayload>(holder, &holder->payload);
    }

    size_t Outstanding() const { return outstanding.load(); }
    int WakeFd() const { return read_end->Get(); }

    void Drain() const
    {
        char buffer[256];
        while (read(read_end->Get(), buffer, sizeof(buffer)) > 0) { }
    }

private:
    void Released()
    {
        outstanding--;
        const char byte = 1;
        // A full pipe already holds a wake-up; nothing is lost by dropping it.
        ssize_t n = write(write_end->Get(), &byte, 1);
        (void)n;
    }

    std::atomic<size_t> outstanding{ 0 };
    std::unique_ptr<FileDescriptor> read_end;
    std::unique_ptr<FileDescriptor> write_end;
};

// zlib's stream, ended on every path out.
class Deflater
{
public:
    Deflater() { memset(&stream, 0, sizeof(stream)); }
    ~Deflater()
    {
        if (ready) deflateEnd(&stream);
    }
    Deflater(const Deflater &) = delete;
    Deflater &operator=(const Deflater &) = delete;

    // gzip format: the window bits plus 16 ask zlib for the gzip wrapper.
    bool Gzip(const std::vector<uint8_t> &in, std::vector<uint8_t> &out)
    {
        if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8,
                Z_DEFAULT_STRATEGY) != Z_OK)
            return false;
        ready = true;
        out.resize(deflateBound(&stream, static_cast<uLong>(in.size())));
        stream.next_in = const_cast<Bytef *>(in.data());
        stream.avail_in = static_cast<uInt>(in.size());
        stream.next_out = out.data();
        stream.avail_out = static_cast<uInt>(out.size());
        if (deflate(&stream, Z_FINISH) != Z_STREAM_END) return false;
        out.resize(stream.total_out);
        return true;
    }

private:
    z_stream stream;
    bool ready = false;
};

class Sink
{
public:
    Sink(const Options &options, vxPluginSink &plugin, ReleaseTracker &tracker)
        : options(options), plugin(plugin), tracker(tracker)
    { }

    // Queues one body; `where` names it in error lines ("file.json",
    // "line 3"). False when the input was refused.
    bool Queue(std::vector<uint8_t> body, const std::string &where)
    {
        vxFlags<vxPlugin::DispatchFlags> flags;
        if (options.msgpack) {
            try {
                nlohmann::json value = nlohmann::json::parse(body.begin(), body.end());
                body = nlohmann::json::to_msgpack(value);
            }
            catch (const nlohmann::json::exception &e) {
                Error(where + ": not JSON, skipped: " + e.what());
                return false;
            }
            flags.Set(vxPlugin::FORMAT_MSGPACK);
        }
        else
            flags.Set(vxPlugin::FORMAT_JSON);

        if (options.gzip) {
            std::vector<uint8_t> compressed;
            Deflater deflater;
            if (body.size() > UINT32_MAX || !deflater.Gzip(body, compressed)) {
                Error(where + ": cannot compress, skipped");
                return false;
            }
            body = std::move(compressed);
            flags.Set(vxPlugin::COMPRESS_GZIP);
        }

        plugin.QueuePayload(tracker.Make(std::move(body), options.channels, flags));
        return true;
    }

private:
    const Options &options;
    vxPluginSink &plugin;
    ReleaseTracker &tracker;
};

enum class Wait { Ready, Stop, Failed };

// Waits for something to do: a signal (reload handled here, stop returned),
// a released payload, or input on `input` (-1: none wanted). `timeout_ms` -1
// waits as long as it takes.
class EventLoop
{
public:
    EventLoop(int signal_fd, vxPlugin &plugin, ReleaseTracker &tracker)
        : signal_fd(signal_fd), plugin(plugin), tracker(tracker)
    { }

    Wait Poll(int input, bool *input_ready, int timeout_ms = -1)
    {
        if (input_ready) *input_ready = false;
        pollfd fds[3] = {
            { signal_fd, POLLIN, 0 },
            { tracker.WakeFd(), POLLIN, 0 },
            { input, POLLIN, 0 },
        };
        int count = input >= 0 ? 3 : 2;
        int ready = poll(fds, static_cast<nfds_t>(count), timeout_ms);
        if (ready < 0) {
            if (errno == EINTR) return Wait::Ready;
            Error(std::string("poll: ") + strerror(errno));
            return Wait::Failed;
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info;
            while (read(signal_fd, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
                if (info.ssi_signo == SIGHUP)
                    plugin.DispatchEvent(vxPlugin::EVENT_RELOAD);
                else {
                    stop_signal = static_cast<int>(info.ssi_signo);
                    return Wait::Stop;
                }
            }
        }
        if (fds[1].revents & POLLIN) tracker.Drain();
        if (count == 3 && input_ready && (fds[2].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)))
            *input_ready = true;
        return Wait::Ready;
    }

    // Handles pending signals without blocking.
    Wait Check() { return Poll(-1, nullptr, 0); }

    // Blocks while the plug-in holds `limit` payloads or more.
    Wait Throttle(size_t limit)
    {
        while (tracker.Outstanding() >= limit)
            if (Wait w = Poll(-1, nullptr); w != Wait::Ready) return w;
        return Check();
    }

    int StopSignal() const { return stop_signal; }

private:
    int signal_fd;
    vxPlugin &plugin;
    ReleaseTracker &tracker;
    int stop_signal = 0;
};

bool ReadFile(const std::string &path, std::vector<uint8_t> &body)
{
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        errno = EISDIR;
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    body.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool Blank(const std::string &line)
{
    return line.find_first_not_of(" \t\r\f\v") == std::string::npos;
}

// Result of feeding all input: whether some was refused, or a stop signal.
struct Feed {
    bool bad_input = false;
    Wait end = Wait::Ready;
};

Feed FeedFiles(const Options &options, Sink &sink, EventLoop &loop)
{
    Feed f;
    for (const std::string &path : options.files) {
        if ((f.end = loop.Throttle(max_outstanding)) != Wait::Ready) return f;
        std::vector<uint8_t> body;
        if (!ReadFile(path, body)) {
            Error(path + ": cannot read: " + strerror(errno));
            f.bad_input = true;
            continue;
        }
        if (!sink.Queue(std::move(body), path)) f.bad_input = true;
    }
    return f;
}

Feed FeedLines(Sink &sink, EventLoop &loop, ReleaseTracker &tracker)
{
    Feed f;
    std::string pending;
    size_t line_number = 0;
    char buffer[65536];

    auto take_line = [&](std::string line) {
        line_number++;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (Blank(line)) return;
        std::vector<uint8_t> body(line.begin(), line.end());
        if (!sink.Queue(std::move(body), "line " + std::to_string(line_number)))
            f.bad_input = true;
    };

    for (;;) {
        bool ready = false;
        // Stop reading while the plug-in is saturated; releases wake us.
        int input = tracker.Outstanding() < max_outstanding ? STDIN_FILENO : -1;
        if ((f.end = loop.Poll(input, &ready)) != Wait::Ready) return f;
        if (!ready) continue;

        ssize_t n = read(STDIN_FILENO, buffer, sizeof(buffer));
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            Error(std::string("standard input: ") + strerror(errno));
            f.bad_input = true;
            break;
        }
        if (n == 0) break;
        pending.append(buffer, static_cast<size_t>(n));
        size_t start = 0;
        for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1)
            take_line(pending.substr(start, end - start));
        pending.erase(0, start);
    }
    if (!pending.empty()) take_line(std::move(pending));
    return f;
}

int Run(const Options &options)
{
    // Signals are taken from a descriptor, never in a handler: blocked here
    // before any thread exists, so every thread (the plug-in's, libcurl's)
    // inherits the mask and none of them is interrupted.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    for (int s : { SIGHUP, SIGINT, SIGTERM }) signal(s, SIG_DFL);
    signal(SIGPIPE, SIG_IGN);
    if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) {
        Error("cannot block signals");
        return exit_failure;
    }
    FileDescriptor signal_fd(signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
    if (signal_fd.Get() < 0) {
        Error(std::string("signalfd: ") + strerror(errno));
        return exit_failure;
    }

    // The library stays loaded until the process ends: code it registered
    // with the C runtime or libcurl may still run at exit.
    void *library = dlopen(options.plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char *why = dlerror();
        Error(options.plugin + ": cannot load plug-in: " + (why ? why : "unknown error"));
        return exit_failure;
    }
    const void *abi = dlsym(library, "vx_plugin_abi");
    if (abi == nullptr) {
        Error(options.plugin + ": not a plug-in: no vx_plugin_abi record");
        return exit_failure;
    }
    if (std::string why = CheckAbiRecord(abi); !why.empty()) {
        Error(options.plugin + ": refused: " + why);
        return exit_failure;
    }
    auto init = reinterpret_cast<vxPluginInitFunction>(dlsym(library, "vxPluginInit"));
    if (init == nullptr) {
        Error(options.plugin + ": not a plug-in: no vxPluginInit factory");
        return exit_failure;
    }

    vxGlobalConfig config;
    config.conf_vars = options.vars;
    for (const auto &[type, id] : options.uuids) config.SetUUID(type, id);
    if (options.debug) config.flags.Set(vxGlobalConfig::DEBUG);
    if (options.debug_curl) config.flags.Set(vxGlobalConfig::DEBUG_CURL);
    vx_log_set_debug(options.debug);
    vxGlobalConfig::SetInstance(&config);
    struct Withdraw {
        ~Withdraw() { vxGlobalConfig::SetInstance(nullptr); }
    } withdraw;

    ReleaseTracker tracker;
    if (!tracker.Open()) {
        Error(std::string("pipe: ") + strerror(errno));
        return exit_failure;
    }

    // Destroyed through its virtual destructor, which joins its thread.
    std::unique_ptr<vxPlugin> instance;
    try {
        instance.reset(init(options.tag, { { "conf_filename", options.config } }));
    }
    catch (const std::exception &e) {
        Error(options.plugin + ": factory failed: " + e.what());
        return exit_failure;
    }
    if (!instance) {
        Error(options.plugin + ": factory refused to create instance '" + options.tag + "'");
        return exit_failure;
    }
    auto *sink_plugin = dynamic_cast<vxPluginSink *>(instance.get());
    if (sink_plugin == nullptr) {
        Error(options.plugin + ": not a sink plug-in");
        return exit_failure;
    }

    instance->Create();

    EventLoop loop(signal_fd.Get(), *instance, tracker);
    Sink sink(options, *sink_plugin, tracker);
    Feed fed = options.files.empty() ? FeedLines(sink, loop, tracker)
                                     : FeedFiles(options, sink, loop);

    // Input has ended: let every post finish, however long the collector
    // takes, unless told to stop.
    Wait end = fed.end;
    while (end == Wait::Ready && tracker.Outstanding() > 0) end = loop.Poll(-1, nullptr);

    instance->Terminate();
    instance.reset();

    if (end == Wait::Stop) return 128 + loop.StopSignal();
    if (end == Wait::Failed) return exit_failure;
    return fed.bad_input ? exit_failure : exit_ok;
}

} // namespace

int main(int argc, char **argv)
{
    auto parsed = ParseArguments(argc, argv);
    if (const int *status = std::get_if<int>(&parsed)) return *status;
    const Options &options = std::get<Options>(parsed);
    if (options.version) return vxsinkPrintVersion(options.plugin, CheckAbiRecord);
    return Run(options);
}
