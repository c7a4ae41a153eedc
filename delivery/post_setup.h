#ifndef HTS_POST_SETUP_H
#define HTS_POST_SETUP_H

#include <string>

#include <curl/curl.h>

#include "config/channel_config.h"
#include "delivery/body_compression.h"
#include "delivery/channel_stats.h"
#include "delivery/transfer_options.h"
#include "vxplugin.h"

// Readies `handle` to post `payload` to `channel` with `body` (the payload's
// own or the channel's compressed copy, which must outlive the transfer):
// its header list and every option of the post. Both delivery modes prepare
// their posts here, so a post that cannot start is refused the same way in
// either: one line in the form of a transfer error and the refusal in
// `stats` (null: no figures). `extra`, when given, sets options of the
// caller's own after the rest and is refused the same way. A channel whose
// headers hold "${payload_id}" gets a header list of the post's own, kept in
// `own_headers` (which must outlive the post), with `payload_id` (a new id
// when empty); any other takes its cached list. False when the post must not
// start.
bool htsPreparePost(const std::string &tag, htsChannelConfig &channel, CURL *handle,
    const vxPluginSinkPayload &payload, const htsPostBody &body, htsChannelStats *stats,
    htsOptionResult (*extra)(CURL *, const htsChannelConfig &) = nullptr, htsCurlSlistPtr *own_headers = nullptr,
    const std::string &payload_id = {});

// Reports a post that could not start because libcurl refused `code`, in
// the line and the figures, as htsPreparePost does.
void htsRefusePost(const std::string &tag, const htsChannelConfig &channel, htsChannelStats *stats, CURLcode code);

#endif
