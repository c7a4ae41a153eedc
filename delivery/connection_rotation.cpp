#include <algorithm>

#include "delivery/connection_rotation.h"

long htsConnectionAgeSeconds(uint64_t age_ms) noexcept
{
    return static_cast<long>((age_ms + 999) / 1000);
}

htsOptionResult htsSetConnectionAge(CURL *handle, const htsChannelConfig &channel)
{
    htsOptionResult set;
    set.code = curl_easy_setopt(handle, CURLOPT_MAXLIFETIME_CONN, htsConnectionAgeSeconds(channel.connection_max_age_ms));
    if (!set) set.option = CURLOPT_MAXLIFETIME_CONN;
    return set;
}

void htsConnectionUses::Opened(curl_socket_t socket)
{
    if (socket < 0) return;
    const size_t index = static_cast<size_t>(socket);
    if (index < uses.size()) uses[index] = 0;
}

bool htsConnectionUses::Ended(curl_socket_t socket, uint32_t most)
{
    if (socket < 0 || most == 0) return false;
    const size_t index = static_cast<size_t>(socket);
    if (index >= uses.size()) uses.resize(std::max<size_t>(index + 1, 64), 0);
    return ++uses[index] >= most;
}
