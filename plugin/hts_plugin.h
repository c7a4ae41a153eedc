#ifndef HTS_PLUGIN_H
#define HTS_PLUGIN_H

#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <string>

#include <curl/curl.h>
#include <nlohmann/json.hpp>

#include "config/channel_config.h"
#include "delivery/curl_ptr.h"
#include "delivery/transfer_options.h"
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

    void Reload();
    void LoadConfig();
    void PostPayload(htsChannelConfig &channel,
        const std::shared_ptr<vxPluginSinkPayload> &payload);
    size_t AppendData(const char *data, size_t length);

    std::atomic<bool> reload_pending{ false };
    htsChannelConfig defaults;
    std::map<std::string, htsChannelConfig> channels;
    htsCurlEasyPtr curl_handle;
    char curl_error[CURL_ERROR_SIZE];
    std::string response;
    // Loads and channel figures for GetStatus, read from the agent's threads.
    htsStatusBoard status_board;

    // True once a stop was requested.
    bool TerminateRequested() const noexcept { return terminate.load(); }

private:
    // Makes `curl_handle` with the options of its whole life; the first
    // option libcurl refused, if any.
    htsOptionResult CreateHandle();
    // Releases every payload still queued, unposted, with one line for all.
    void ReleaseQueued();
    // Counts a post that could not start in the channel's figures.
    void RecordRefusal(const htsChannelConfig &channel, CURLcode code, const char *reason);
};

#endif
