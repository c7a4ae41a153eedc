#include <cstdio>
#include <functional>
#include <optional>

#include "vxexception.h"
#include "vxlog.h"
#include "vxsink_options.h"

namespace vxsink {

namespace {

const char usage_text[] =
    "Usage: vxsink --plugin PATH --config FILE --channel NAME [OPTION]... [FILE]...\n"
    "  or:  vxsink --check --plugin PATH --config FILE [OPTION]...\n"
    "  or:  vxsink --replay DIR --plugin PATH --config FILE [OPTION]...\n"
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
    "  --check              load FILE through the plug-in and print its channels as\n"
    "                       loaded (URLs with passwords masked, time limits, TLS\n"
    "                       options, header names) and every warning about it;\n"
    "                       send nothing. Exit status 0 when it loaded, 1 when not\n"
    "  --status             at the end, print the plug-in's status as JSON on\n"
    "                       standard output: its configuration loads and, per\n"
    "                       channel, posts, answers, errors, bytes and latency\n"
    "  --replay DIR         send the payloads of the spool folder DIR again, each\n"
    "                       to its own channel, oldest first, one try each; a\n"
    "                       file is deleted once its post succeeded, the rest\n"
    "                       stay; prints how many were sent and kept\n"
    "  --version            show the versions of vxsink, its agent library and\n"
    "                       libcurl; with --plugin, also the plug-in's library\n"
    "                       name, display name and version, then exit\n"
    "  --help               show this text\n"
    "\n"
    "Signals: SIGHUP makes the plug-in reload its configuration; SIGUSR1 prints\n"
    "its status as a table on standard error; SIGINT and SIGTERM stop reading\n"
    "and stop the plug-in at once, aborting a transfer. At the end of input\n"
    "vxsink waits until every payload has been posted, and until the plug-in\n"
    "has reported its first configuration load (at most 10 s), so that a run\n"
    "without input still shows a file that does not load.\n"
    "\n"
    "Exit status: 0 all input was queued and the plug-in finished with it;\n"
    "1 some input was skipped, or the plug-in could not be loaded; 2 usage\n"
    "error; 128 + the signal's number when stopped by SIGINT or SIGTERM.\n"
    "With --check: 0 the file loaded, 1 it did not.\n";

void UsageError(const std::string &text)
{
    Error(text);
    vx_printf("vxsink: try 'vxsink --help'\n");
}

// What an option takes from the command line.
enum class Takes {
    Nothing, // a switch; "--name=value" is a usage error
    Value,   // "--name value" or "--name=value"
    Ending,  // does its work and ends the program; a value is ignored
};

// Applies an option to `o`. Returns nothing to go on, or the exit status
// when the program should end now (reporting a usage error first).
using Apply = std::function<std::optional<int>(Options &o, const std::string &value)>;

struct OptionRow {
    const char *name;
    Takes takes;
    Apply apply;
};

std::optional<int> Refuse(const std::string &text)
{
    UsageError(text);
    return exit_usage;
}

// The common kinds of option: a switch, a value kept as it is, an identifier.
Apply Switch(bool Options::*field)
{
    return [field](Options &o, const std::string &) -> std::optional<int> {
        o.*field = true;
        return std::nullopt;
    };
}

Apply Keep(std::string Options::*field)
{
    return [field](Options &o, const std::string &v) -> std::optional<int> {
        o.*field = v;
        return std::nullopt;
    };
}

Apply Identifier(vxUUID type)
{
    return [type](Options &o, const std::string &v) -> std::optional<int> {
        o.uuids[type] = v;
        return std::nullopt;
    };
}

const std::vector<OptionRow> &OptionTable()
{
    using V = const std::string &;
    static const std::vector<OptionRow> rows = {
        { "--help", Takes::Ending, [](Options &, V) -> std::optional<int> {
             fputs(usage_text, stdout);
             return exit_ok;
         } },
        { "--plugin", Takes::Value, Keep(&Options::plugin) },
        { "--config", Takes::Value, Keep(&Options::config) },
        { "--channel", Takes::Value, [](Options &o, V v) -> std::optional<int> {
             if (v.empty()) return Refuse("--channel needs a name");
             o.channels.insert(v);
             return std::nullopt;
         } },
        { "--tag", Takes::Value, Keep(&Options::tag) },
        { "--format", Takes::Value, [](Options &o, V v) -> std::optional<int> {
             if (v == "json") o.msgpack = false;
             else if (v == "msgpack") o.msgpack = true;
             else return Refuse("--format must be json or msgpack, not '" + v + "'");
             return std::nullopt;
         } },
        { "--gzip", Takes::Nothing, Switch(&Options::gzip) },
        { "--var", Takes::Value, [](Options &o, V v) -> std::optional<int> {
             size_t eq = v.find('=');
             if (eq == std::string::npos || eq == 0) return Refuse("--var needs NAME=VALUE, not '" + v + "'");
             o.vars["${" + v.substr(0, eq) + "}"] = v.substr(eq + 1);
             return std::nullopt;
         } },
        { "--uuid-agent", Takes::Value, Identifier(UUID_AGENT) },
        { "--uuid-site", Takes::Value, Identifier(UUID_SITE) },
        { "--uuid-serial", Takes::Value, Identifier(UUID_SERIAL) },
        { "--debug", Takes::Nothing, Switch(&Options::debug) },
        { "--debug-curl", Takes::Nothing, Switch(&Options::debug_curl) },
        { "--version", Takes::Nothing, Switch(&Options::version) },
        { "--check", Takes::Nothing, Switch(&Options::check) },
        { "--status", Takes::Nothing, Switch(&Options::status) },
        { "--replay", Takes::Value, Keep(&Options::replay) },
    };
    return rows;
}

const OptionRow *Find(const std::string &name)
{
    for (const OptionRow &row : OptionTable())
        if (name == row.name) return &row;
    return nullptr;
}

} // namespace

void Error(const std::string &text) { vx_printf("vxsink: %s\n", text.c_str()); }

bool OpenPlugin(const Options &options, std::optional<vxPluginLibrary> &library)
{
    try {
        library.emplace(options.plugin);
        return true;
    }
    catch (const vxException &e) {
        Error(e.what());
        return false;
    }
}

void PublishAgentSettings(const Options &options, vxGlobalConfig &config)
{
    config.conf_vars = options.vars;
    for (const auto &[type, id] : options.uuids) config.SetUUID(type, id);
    if (options.debug) config.flags.Set(vxGlobalConfig::DEBUG);
    if (options.debug_curl) config.flags.Set(vxGlobalConfig::DEBUG_CURL);
    vx_log_set_debug(options.debug);
}

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

        const OptionRow *row = Find(name);
        if (row == nullptr) {
            UsageError("unknown option: " + arg);
            return exit_usage;
        }
        std::string value;
        if (row->takes == Takes::Nothing && inline_value) {
            UsageError(name + " takes no value");
            return exit_usage;
        }
        if (row->takes == Takes::Value) {
            if (inline_value)
                value = *inline_value;
            else if (i + 1 < argc)
                value = argv[++i];
            else {
                UsageError(name + " needs a value");
                return exit_usage;
            }
        }
        if (std::optional<int> status = row->apply(o, value)) return *status;
    }

    // Needs nothing else; a plug-in, if named, is only asked who it is.
    if (o.version) return o;
    if (o.plugin.empty()) {
        UsageError("--plugin is required");
        return exit_usage;
    }
    if (o.config.empty()) {
        UsageError("--config is required");
        return exit_usage;
    }
    // Sends nothing, so it is addressed to no channel.
    if (o.check) return o;
    if (!o.replay.empty()) {
        if (!o.files.empty() || !o.channels.empty()) {
            UsageError("--replay takes neither --channel nor FILE");
            return exit_usage;
        }
        return o;
    }
    if (o.channels.empty()) {
        UsageError("at least one --channel is required");
        return exit_usage;
    }
    return o;
}

} // namespace vxsink
