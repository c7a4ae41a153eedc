#ifndef VXSINK_OPTIONS_H
#define VXSINK_OPTIONS_H

#include <map>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "vxconfig.h"
#include "vxplugin_loader.h"

namespace vxsink {

constexpr int exit_ok = 0;
constexpr int exit_failure = 1;
constexpr int exit_usage = 2;

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
    bool check = false;
    bool status = false;
    // --replay: the spool folder to send again.
    std::string replay;
};

// Returns the options, or the exit status when the program should end now
// (after --help, or a usage error already reported).
std::variant<Options, int> ParseArguments(int argc, char **argv);

// Every complaint of the program, as one "vxsink: ..." line on the log.
void Error(const std::string &text);

// Loads the plug-in library the options name into `library`; false after a
// line saying why it could not.
bool OpenPlugin(const Options &options, std::optional<vxPluginLibrary> &library);

// Publishes what the agent would set for its plug-ins: the variables, the
// identifiers and the debug flags (and the log's debug lines).
void PublishAgentSettings(const Options &options, vxGlobalConfig &config);

} // namespace vxsink

#endif
