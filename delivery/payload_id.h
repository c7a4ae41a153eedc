#ifndef HTS_PAYLOAD_ID_H
#define HTS_PAYLOAD_ID_H

#include <memory>
#include <string>

#include "vxplugin.h"

// A payload's own id, for "${payload_id}" in a header value: the same on
// every try, spool file, drain and replay of that payload, different for
// every other one. Made as 16 hex digits drawn at random once per process,
// a dash, and 16 hex digits of a count the whole process shares, so ids of
// two processes (or two runs) never meet and ids of one process never repeat.
std::string htsNewPayloadId();

// The agent's payload carries no room of our own, so the id (and, for a
// payload read back from the spool, the file it came from) travels with the
// engine's reference to it: the returned pointer shares the payload's body
// and keeps `payload` alive, and htsPayloadIdOf() finds the id again from
// any copy of it. Nothing is copied but the reference.
std::shared_ptr<vxPluginSinkPayload> htsTagPayload(const std::shared_ptr<vxPluginSinkPayload> &payload,
    std::string id, std::string spool_handle = {});

// The id given by htsTagPayload(), or null for a payload never tagged.
const std::string *htsPayloadIdOf(const std::shared_ptr<vxPluginSinkPayload> &payload) noexcept;

// The spool file a tagged payload was read from, or null for any other.
const std::string *htsSpoolHandleOf(const std::shared_ptr<vxPluginSinkPayload> &payload) noexcept;

#endif
