#ifndef VXSINK_REPLAY_H
#define VXSINK_REPLAY_H

#include "vxsink_options.h"

namespace vxsink {

// --replay: sends the payloads of a spool folder again through the plug-in,
// one at a time in the order they were spooled, each to its own channel with
// its own flags, and deletes a file only once its post got a success. The
// plug-in runs with a copy of the configuration that tries each post once
// and spools nothing, so that a post that logged no line for its channel is
// one that succeeded. Prints how many were sent and how many were kept.
int Replay(const Options &options);

} // namespace vxsink

#endif
