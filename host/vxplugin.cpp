#include <atomic>
#include <chrono>
#include <cstring>

#include "vxplugin.h"
#include "vxtesting.h"

namespace {
std::atomic<int> forced_plugin_type{ -1 };
}

void vx_testing_force_plugin_type(int type) { forced_plugin_type = type; }

vxPlugin::vxPlugin(const std::string &tag,
    const std::map<std::string, std::string> &params)
    : vxThread(tag)
{
    auto it = params.find("conf_filename");
    if (it != params.end()) conf_filename = it->second;
}

vxPlugin::~vxPlugin() = default;

vxPluginSinkPayload::vxPluginSinkPayload(size_t length, const uint8_t *data,
    const std::set<std::string> &channel_names,
    vxFlags<vxPlugin::DispatchFlags> flags)
    : length(length), data(std::make_unique_for_overwrite<uint8_t[]>(length)),
      channel_names(channel_names), flags(flags)
{
    if (length > 0) memcpy(this->data.get(), data, length);
}

vxPluginSinkPayload::vxPluginSinkPayload(size_t length,
    std::unique_ptr<uint8_t[]> data, const std::set<std::string> &channel_names,
    vxFlags<vxPlugin::DispatchFlags> flags)
    : length(length), data(std::move(data)), channel_names(channel_names),
      flags(flags)
{ }

vxPluginSink::vxPluginSink(const std::string &tag,
    const std::map<std::string, std::string> &params)
    : vxPlugin(tag, params)
{
    int forced = forced_plugin_type.load();
    type = (forced >= 0) ? static_cast<uint8_t>(forced) : static_cast<uint8_t>(TYPE_SINK);
}

vxPluginSink::~vxPluginSink() = default;

void vxPluginSink::Terminate()
{
    vxPlugin::Terminate();
    // Taking the queue lock orders the flag before a waiter's check, so the
    // notification cannot fall between its check and its sleep.
    {
        std::lock_guard<std::mutex> guard(queue_lock);
    }
    queue_cond.notify_all();
}

void vxPluginSink::QueuePayload(const std::shared_ptr<vxPluginSinkPayload> &payload)
{
    {
        std::lock_guard<std::mutex> guard(queue_lock);
        queue.push_back(payload);
    }
    queue_cond.notify_one();
}

size_t vxPluginSink::WaitOnPayloadQueue(unsigned timeout)
{
    std::unique_lock<std::mutex> guard(queue_lock);
    queue_cond.wait_for(guard, std::chrono::seconds(timeout),
        [this] { return !queue.empty() || terminate.load(); });
    if (terminate.load()) return 0;
    return queue.size();
}

bool vxPluginSink::PopPayloadQueue(std::shared_ptr<vxPluginSinkPayload> &payload)
{
    std::lock_guard<std::mutex> guard(queue_lock);
    if (queue.empty()) return false;
    payload = std::move(queue.front());
    queue.pop_front();
    return true;
}

vxPluginSink::QueueLevel vxPluginSink::Queued() const
{
    QueueLevel level;
    std::lock_guard<std::mutex> guard(queue_lock);
    level.payloads = queue.size();
    for (const auto &payload : queue)
        if (payload) level.bytes += payload->length;
    return level;
}
