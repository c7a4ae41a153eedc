#include <exception>
#include <string>

#include <curl/curl.h>

#include "plugin/hts_plugin.h"
#include "vxlog.h"

namespace {

// curl_version() rewrites a static buffer on every call; instances starting
// together would race on it.
const std::string &CurlVersionText()
{
    static const std::string text = curl_version();
    return text;
}

} // namespace

void *htsPlugin::Entry()
{
    vx_printf("%s: %s v%s: %s\n", tag.c_str(), HTS_PLUGIN_NAME, HTS_PLUGIN_VERSION,
        CurlVersionText().c_str());

    if (terminate.load()) {
        ReleaseQueued();
        return nullptr;
    }

    std::shared_ptr<vxPluginSinkPayload> payload;
    for (;;) {
        // Cleared before the reload starts, so a request that arrives while
        // it runs (after the file was read, say) causes one more load rather
        // than being absorbed by a load that never saw the change.
        if (reload_pending.exchange(false)) Reload();

        if (WaitOnPayloadQueue(1) != 0) {
            while (!terminate.load() && PopPayloadQueue(payload)) {
                for (const std::string &name : payload->channel_names) {
                    // Once a stop is asked for, nothing new is posted.
                    if (terminate.load()) break;
                    auto it = channels.find(name);
                    if (it == channels.end()) {
                        vx_dprintf("%s: channel not defined: %s\n", tag.c_str(), name.c_str());
                        continue;
                    }
                    PostPayload(it->second, payload);
                }
                // Under a steady stream the queue may never run dry; a
                // reload must not wait for that. The rest stay queued and
                // go out under the new configuration.
                if (reload_pending.load()) break;
            }
            // Do not keep the agent's last payload alive while idle.
            payload.reset();
        }

        if (terminate.load()) {
            ReleaseQueued();
            return nullptr;
        }
    }
}

void htsPlugin::ReleaseQueued()
{
    unsigned long long count = 0;
    std::shared_ptr<vxPluginSinkPayload> payload;
    while (PopPayloadQueue(payload)) {
        payload.reset();
        count++;
    }
    if (count > 0) vx_printf("%s: stopped, %llu queued payloads not sent\n", tag.c_str(), count);
}

void htsPlugin::Reload()
{
    try {
        LoadConfig();
    }
    catch (const std::exception &e) {
        vx_printf("%s: configuration not loaded: %s\n", tag.c_str(), e.what());
        status_board.LoadFailed(e.what());
    }
}
