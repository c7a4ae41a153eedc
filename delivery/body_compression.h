#ifndef HTS_BODY_COMPRESSION_H
#define HTS_BODY_COMPRESSION_H

#include <cstddef>
#include <cstdint>
#include <forward_list>
#include <memory>
#include <string>
#include <vector>

#include "config/channel_config.h"
#include "vxplugin.h"

// What a post sends: the payload's own bytes or a compressed copy of them,
// and the encoding the plug-in applied (None: the body as the agent made it,
// compressed by the agent or not).
struct htsPostBody {
    const void *data = nullptr;
    size_t length = 0;
    htsCompression applied = htsCompression::None;
};

// The body of a payload as the agent made it.
inline htsPostBody htsOwnBody(const vxPluginSinkPayload &payload) noexcept
{
    return { payload.data.get(), payload.length, htsCompression::None };
}

// Compresses bodies in gzip (zlib's deflate with the gzip wrapper) or zstd,
// reusing its contexts and its output buffer from one body to the next. One
// per worker: not for use from two threads at once.
class htsBodyCompressor
{
public:
    htsBodyCompressor();
    ~htsBodyCompressor();
    htsBodyCompressor(const htsBodyCompressor &) = delete;
    htsBodyCompressor &operator=(const htsBodyCompressor &) = delete;

    // Replaces `out` with `length` bytes at `data` compressed in `encoding`
    // at `level` (within htsLevelsOf(encoding)). False with the reason in
    // `error` when the library refuses or memory runs out; `out` is then
    // unspecified. Never throws.
    bool Compress(htsCompression encoding, uint32_t level, const void *data, size_t length,
        std::vector<uint8_t> &out, std::string &error) noexcept;

private:
    struct Contexts;
    std::unique_ptr<Contexts> contexts;
};

// The compressed copies of one payload: each made once, the first time a
// channel asks for its encoding and level, and shared by every channel that
// asks for the same. Copies never move once made, so a post in flight may
// send from one for as long as it holds this object.
class htsPayloadBodies
{
public:
    // The body to post to `channel`: the payload's own when the channel does
    // not compress or the agent compressed it already (sent as it is), else
    // the copy in the channel's encoding and level. A copy that cannot be
    // made is reported once, with one line, and the payload's own body goes
    // out instead: a collector that takes an encoding takes the plain body
    // too, and the payload is not lost for a failure of ours.
    htsPostBody For(const std::string &tag, const htsChannelConfig &channel, const vxPluginSinkPayload &payload,
        htsBodyCompressor &compressor);

    // Whether a post to `channel` may need a copy of `payload`.
    static bool Wanted(const htsChannelConfig &channel, const vxPluginSinkPayload &payload) noexcept;

private:
    struct Copy {
        htsCompression encoding;
        uint32_t level;
        bool failed = false;
        std::vector<uint8_t> bytes;
    };
    std::forward_list<Copy> copies;
};

#endif
