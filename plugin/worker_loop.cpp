#include <exception>

#include <curl/curl.h>

#include "plugin/hts_plugin.h"
#include "vxlog.h"

void *htsPlugin::Entry()
{
    vx_printf("%s: %s v%s: %s\n", tag.c_str(), HTS_PLUGIN_NAME, HTS_PLUGIN_VERSION,
        curl_version());

    if (terminate.load()) return nullptr;

    std::shared_ptr<vxPluginSinkPayload> payload;
    for (;;) {
        if (reload_pending.load()) {
            Reload();
            // Cleared only now, so a request that arrived during the reload
            // is absorbed by it rather than lost or repeated.
            reload_pending.store(false);
        }

        if (WaitOnPayloadQueue(1) != 0) {
            while (PopPayloadQueue(payload)) {
                for (const std::string &name : payload->channel_names) {
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

        if (terminate.load()) return nullptr;
    }
}

void htsPlugin::Reload()
{
    try {
        LoadConfig();
    }
    catch (const std::exception &e) {
        vx_printf("%s: configuration not loaded: %s\n", tag.c_str(), e.what());
    }
}
