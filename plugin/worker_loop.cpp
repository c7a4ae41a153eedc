#include <exception>
#include <string>

#include <curl/curl.h>

#include "config/log_text.h"
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

    for (;;) {
        // Cleared before the reload starts, so a request that arrives while
        // it runs (after the file was read, say) causes one more load rather
        // than being absorbed by a load that never saw the change.
        if (reload_pending.exchange(false)) Reload();

        // After a switch to serial delivery, what the parallel engine still
        // holds goes out first, so no channel's posts change order.
        if (delivery == htsDeliveryMode::parallel || (parallel && !parallel->Idle()))
            DeliverParallel();
        else
            DeliverSerial();

        if (terminate.load()) {
            if (parallel) parallel->Stop();
            ReleaseQueued();
            if (parallel) parallel->FinishSpool();
            // The figures as the instance ends, for whoever reads the file.
            metrics.Finish();
            return nullptr;
        }
    }
}

void htsPlugin::DeliverSerial()
{
    if (WaitOnPayloadQueue(1) == 0) return;

    std::shared_ptr<vxPluginSinkPayload> payload;
    while (!terminate.load() && PopPayloadQueue(payload)) {
        // The payload's compressed copies, shared by its channels and gone
        // with it.
        htsPayloadBodies bodies;
        for (const std::string &name : payload->channel_names) {
            // Once a stop is asked for, nothing new is posted.
            if (terminate.load()) break;
            auto it = channels.find(name);
            if (it == channels.end()) {
                vx_dprintf("%s: channel not defined: %s\n", tag.c_str(), htsEscapeControl(name).c_str());
                continue;
            }
            PostPayload(it->second, payload, &bodies);
        }
        // Under a steady stream the queue may never run dry; a reload must
        // not wait for that. The rest stay queued and go out under the new
        // configuration.
        if (reload_pending.load()) break;
    }
    // The last payload is released here: it is not kept alive while idle.
}

void htsPlugin::DeliverParallel()
{
    if (!parallel) {
        parallel = std::make_unique<htsParallelDelivery>(tag, terminate,
            [this](const std::string &channel) { return status_board.SharedStats(channel); });
        wake_target.store(parallel.get());
    }
    htsParallelDelivery &engine = *parallel;
    if (engine_load != loads) {
        engine.Configure(channels);
        engine_load = loads;
    }

    // Payloads taken from the queue per round, so a steady stream still
    // leaves room to move the transfers along.
    constexpr size_t batch = 256;
    std::shared_ptr<vxPluginSinkPayload> payload;
    for (;;) {
        if (terminate.load() || reload_pending.load()) return;
        const bool intake = (delivery == htsDeliveryMode::parallel);
        if (!intake && engine.Idle()) {
            // Drained after a switch to serial: let go of the channels'
            // handles; a later switch back configures afresh.
            engine.Configure({});
            engine_load = 0;
            return;
        }

        size_t taken = 0;
        while (intake && taken < batch && !terminate.load() && PopPayloadQueue(payload)) {
            engine.Offer(payload);
            taken++;
        }
        payload.reset();
        engine.Perform();

        int timeout_ms = 0;
        if (taken < batch) {
            engine.Arm();
            // A last look once armed: whatever comes after it wakes the wait.
            if (terminate.load() || reload_pending.load() || (!intake && engine.Idle()) ||
                (intake && PopPayloadQueue(payload))) {
                engine.Disarm();
                if (payload) engine.Offer(payload);
                payload.reset();
            }
            else
                timeout_ms = 1000;
        }
        // Every round serves the sockets that are ready, sleeping only when
        // nothing else is to be done: a steady stream of payloads must not
        // keep the transfers from moving.
        engine.Wait(timeout_ms);
    }
}

void htsPlugin::ReleaseQueued()
{
    unsigned long long count = 0;
    std::shared_ptr<vxPluginSinkPayload> payload;
    // What parallel delivery would have posted is kept where its channels
    // keep what they could not deliver.
    const bool spooling = parallel && delivery == htsDeliveryMode::parallel;
    while (PopPayloadQueue(payload)) {
        if (spooling) parallel->SpoolQueued(payload);
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
