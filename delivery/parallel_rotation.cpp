// The parallel engine's connection rotation by request count. libcurl has
// no such limit of its own (its age limit is set with each post, see
// htsSetConnectionAge): once a connection has carried its channel's
// "connection_max_requests" posts and lies idle, its socket is shut down.
// libcurl checks an idle connection before it uses it again, finds this one
// closed and opens a new one, so no post fails for the rotation.
#include <sys/socket.h>

#include "delivery/parallel_delivery.h"

#include "delivery/parallel_channel.h"

int htsParallelDelivery::ConnectionOpened(void *self, curl_socket_t socket, curlsocktype purpose) noexcept
{
    if (purpose != CURLSOCKTYPE_IPCXN) return CURL_SOCKOPT_OK;
    auto *engine = static_cast<htsParallelDelivery *>(self);
    engine->connection_uses.Opened(socket);
    engine->SocketOpened(socket);
    return CURL_SOCKOPT_OK;
}

curl_socket_t htsParallelDelivery::CountConnectionUse(CURL *handle, uint32_t most)
{
    curl_socket_t socket = CURL_SOCKET_BAD;
    // None when the connection was closed with the post: the next one is new
    // anyway.
    if (curl_easy_getinfo(handle, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK || socket == CURL_SOCKET_BAD)
        return CURL_SOCKET_BAD;
    // Streams of HTTP/2 share their connection: shutting it would cut off
    // the posts still on it. Those rotate by age only.
    long version = 0;
    if (curl_easy_getinfo(handle, CURLINFO_HTTP_VERSION, &version) == CURLE_OK && version >= CURL_HTTP_VERSION_2_0)
        return CURL_SOCKET_BAD;
    return connection_uses.Ended(socket, most) ? socket : CURL_SOCKET_BAD;
}

void htsParallelDelivery::RetireConnection(curl_socket_t socket)
{
    // Another post took it up already (it was idle in libcurl's cache): it
    // goes after that one, whose end counts past the limit.
    if (const SocketWatch *watch = WatchOf(socket); watch != nullptr && watch->wanted) return;
    shutdown(socket, SHUT_RDWR);
}
