#ifndef HTS_PLUGIN_H
#define HTS_PLUGIN_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include <curl/curl.h>
#include <nlohmann/json.hpp>

#include "config/channel_config.h"
#include "config/config_loader.h"
#include "delivery/body_compression.h"
#include "delivery/curl_ptr.h"
#include "delivery/parallel_delivery.h"
#include "delivery/transfer_options.h"
#include "plugin/metrics_file.h"
#include "plugin/plugin_status.h"
#include "vxplugin.h"
#include "vx_version.h"

#define HTS_PLUGIN_LIBRARY "vornix-sink-http"
#define HTS_PLUGIN_NAME "Vornix Agent HTTP Sink Plugin"
#define HTS_PLUGIN_VERSION VX_SINK_HTTP_VERSION

class htsPlugin : public vxPluginSink
{
public:
    htsPlugin(const std::string &tag,
        const std::map<std::string, std::string> &params);
    ~htsPlugin() override;

    void *Entry() override;

    void GetLibrary(std::string &library) override;
    void GetName(std::string &name) override;
    void GetVersion(std::string &version) override;

    void GetStatus(nlohmann::json &status) override;
    void DisplayStatus(const nlohmann::json &status) override;

    void DispatchEvent(Event event, void *param = nullptr) override;

    // Both also wake the worker when it sleeps on its transfers (parallel
    // delivery), so a new payload or a stop is seen at once.
    void Terminate() override;
    void QueuePayload(const std::shared_ptr<vxPluginSinkPayload> &payload) override;

    void Reload();
    void LoadConfig();
    // Posts `payload` to `channel`; `bodies` holds the payload's compressed
    // copies for its other channels to share (null: the copies of this post
    // alone).
    void PostPayload(htsChannelConfig &channel,
        const std::shared_ptr<vxPluginSinkPayload> &payload, htsPayloadBodies *bodies = nullptr);
    size_t AppendData(const char *data, size_t length);

    std::atomic<bool> reload_pending{ false };
    htsChannelConfig defaults;
    std::map<std::string, htsChannelConfig> channels;
    htsCurlEasyPtr curl_handle;
    // Serial delivery's compression contexts, kept from post to post.
    htsBodyCompressor compressor;
    char curl_error[CURL_ERROR_SIZE];
    std::string response;
    // The mode of the configuration in force.
    htsDeliveryMode delivery = htsDeliveryMode::serial;
    // Loads and channel figures for GetStatus, read from the agent's threads.
    htsStatusBoard status_board;

    // True once a stop was requested.
    bool TerminateRequested() const noexcept { return terminate.load(); }

private:
    // One pass of serial delivery: waits for payloads and posts each to its
    // channels in name order, one post at a time.
    void DeliverSerial();
    // Parallel delivery until a reload or a stop is asked for; in serial
    // mode, until what the parallel engine still holds has gone out.
    void DeliverParallel();
    void WakeWorker() noexcept;
    // Makes `curl_handle` with the options of its whole life; the first
    // option libcurl refused, if any.
    htsOptionResult CreateHandle();
    // Each channel's spool figures, beside its other figures.
    void AddSpoolFigures(nlohmann::json &status) const;
    // Releases every payload still queued, unposted, with one line for all.
    void ReleaseQueued();

    // Serial delivery: the payload that `id_text` was made for, so that its
    // channels share one "${payload_id}".
    std::weak_ptr<vxPluginSinkPayload> id_payload;
    std::string id_text;

    // Made by the worker on its first parallel pass and kept until the
    // object dies, so an agent thread that finds it published can always
    // wake it.
    std::unique_ptr<htsParallelDelivery> parallel;
    std::atomic<htsParallelDelivery *> wake_target{ nullptr };
    // Configurations put in force, and the one the engine works from (0:
    // none yet).
    uint64_t loads = 0;
    uint64_t engine_load = 0;

    // Last, so that its thread, which reads the status, ends first.
    htsMetricsFile metrics{ tag, [this] {
                               nlohmann::json status;
                               GetStatus(status);
                               return status;
                           } };
};

#endif
