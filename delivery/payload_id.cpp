#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <random>

#include "delivery/payload_id.h"

namespace {

// The deleter of a tagged reference: it holds the agent's reference, which
// it lets go when the last tagged copy goes, and the tag, which
// std::get_deleter() finds from any copy.
struct PayloadTag {
    std::shared_ptr<vxPluginSinkPayload> payload;
    std::string id;
    std::string spool_handle;

    void operator()(vxPluginSinkPayload *) noexcept { payload.reset(); }
};

uint64_t ProcessPrefix()
{
    std::random_device device;
    return (static_cast<uint64_t>(device()) << 32) ^ device();
}

} // namespace

std::string htsNewPayloadId()
{
    static const uint64_t prefix = ProcessPrefix();
    static std::atomic<uint64_t> count{ 0 };
    char text[40];
    snprintf(text, sizeof(text), "%016" PRIx64 "-%016" PRIx64, prefix, count.fetch_add(1) + 1);
    return text;
}

std::shared_ptr<vxPluginSinkPayload> htsTagPayload(const std::shared_ptr<vxPluginSinkPayload> &payload,
    std::string id, std::string spool_handle)
{
    vxPluginSinkPayload *body = payload.get();
    return std::shared_ptr<vxPluginSinkPayload>(body, PayloadTag{ payload, std::move(id), std::move(spool_handle) });
}

const std::string *htsPayloadIdOf(const std::shared_ptr<vxPluginSinkPayload> &payload) noexcept
{
    const PayloadTag *tag = std::get_deleter<PayloadTag>(payload);
    return tag != nullptr ? &tag->id : nullptr;
}

const std::string *htsSpoolHandleOf(const std::shared_ptr<vxPluginSinkPayload> &payload) noexcept
{
    const PayloadTag *tag = std::get_deleter<PayloadTag>(payload);
    return (tag != nullptr && !tag->spool_handle.empty()) ? &tag->spool_handle : nullptr;
}
