#ifndef HTS_CONNECTION_ROTATION_H
#define HTS_CONNECTION_ROTATION_H

#include <cstdint>
#include <vector>

#include <curl/curl.h>

#include "config/channel_config.h"
#include "delivery/transfer_options.h"

// "connection_max_age_ms" as libcurl takes it: whole seconds, rounded up
// (0 stays "no limit"). libcurl compares whole seconds too, so a connection
// is retired at the first post after it has passed that age by up to a
// second more.
long htsConnectionAgeSeconds(uint64_t age_ms) noexcept;

// Sets the channel's connection age limit on a post's handle.
htsOptionResult htsSetConnectionAge(CURL *handle, const htsChannelConfig &channel);

// Posts carried by each connection, by its socket: counted from the
// socket's creation, so that a number libcurl gives to a new connection
// starts again from nothing.
class htsConnectionUses
{
public:
    // A socket was made for a new connection.
    void Opened(curl_socket_t socket);
    // A post on `socket` ended; true once it has carried `most` posts.
    bool Ended(curl_socket_t socket, uint32_t most);

private:
    std::vector<uint32_t> uses;
};

#endif
