#ifndef VXSINK_STATUS_H
#define VXSINK_STATUS_H

#include <chrono>
#include <string>

#include <nlohmann/json.hpp>

#include "vxplugin.h"
#include "vxsink_input.h"

namespace vxsink {

// How long a run waits for the plug-in to report its first configuration
// load before it stops: long enough for any file, short enough that a worker
// that died never holds the program.
constexpr std::chrono::seconds first_load_limit{ 10 };

// True once the status shows a load done or failed.
bool FirstLoadDone(const nlohmann::json &status);

// Reads the plug-in's status until its first load is done or `limit` has
// passed, handling signals meanwhile; `status` holds the last reading. Only
// what the plug-in answers through GetStatus is used.
Wait AwaitFirstLoad(vxPlugin &plugin, EventLoop &loop, nlohmann::json &status,
    std::chrono::milliseconds limit = first_load_limit);

// --check: the configuration as the plug-in loaded it, and its warnings, on
// standard output. Returns the exit status: 0 when it loaded, 1 when not.
int ReportCheck(const nlohmann::json &status);

// --status: the status as JSON on standard output.
void PrintStatus(const nlohmann::json &status);

} // namespace vxsink

#endif
