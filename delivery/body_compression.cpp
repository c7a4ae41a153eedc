#include <algorithm>
#include <climits>
#include <new>

#include <zlib.h>
#include <zstd.h>

#include "delivery/body_compression.h"
#include "vxlog.h"

namespace {

// zlib's stream with the gzip wrapper, kept from one body to the next and
// made again only when the level changes.
class GzipStream
{
public:
    GzipStream() = default;
    ~GzipStream() { Close(); }
    GzipStream(const GzipStream &) = delete;
    GzipStream &operator=(const GzipStream &) = delete;

    // Ready for a new body at `level`; the zlib code when it is not.
    int Begin(int want)
    {
        if (open && level == want) return deflateReset(&stream);
        Close();
        stream = z_stream{};
        // 15 + 16: the largest window, written with a gzip header and trailer.
        const int rc = deflateInit2(&stream, want, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
        if (rc != Z_OK) return rc;
        open = true;
        level = want;
        return Z_OK;
    }

    z_stream &Stream() noexcept { return stream; }

private:
    void Close() noexcept
    {
        if (open) deflateEnd(&stream);
        open = false;
    }

    z_stream stream{};
    bool open = false;
    int level = 0;
};

struct ZstdContextFree {
    void operator()(ZSTD_CCtx *context) const noexcept { ZSTD_freeCCtx(context); }
};

// A body's copy is made here first, then taken at its own size: bounds run
// a little above the body, and a copy that small keeps no slack.
struct Scratch {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0;

    uint8_t *Reserve(size_t want)
    {
        if (size < want) {
            bytes.reset();
            size = 0;
            bytes = std::make_unique_for_overwrite<uint8_t[]>(want);
            size = want;
        }
        return bytes.get();
    }
    // One large body must not hold its room for the rest of the run.
    void Trim() noexcept
    {
        constexpr size_t kept = 8u << 20;
        if (size > kept) {
            bytes.reset();
            size = 0;
        }
    }
};

const char *ZlibReason(int rc, const z_stream &stream)
{
    if (stream.msg != nullptr) return stream.msg;
    return rc == Z_MEM_ERROR ? "out of memory" : "zlib error";
}

} // namespace

struct htsBodyCompressor::Contexts {
    GzipStream gzip;
    std::unique_ptr<ZSTD_CCtx, ZstdContextFree> zstd;
    Scratch scratch;

    // The compressed length, or 0 with `error` set.
    size_t Gzip(int level, const void *data, size_t length, std::string &error)
    {
        int rc = gzip.Begin(level);
        z_stream &s = gzip.Stream();
        if (rc != Z_OK) {
            error = ZlibReason(rc, s);
            return 0;
        }
        const size_t bound = deflateBound(&s, length);
        uint8_t *out = scratch.Reserve(bound);
        s.next_in = static_cast<Bytef *>(const_cast<void *>(data));
        s.next_out = out;
        // zlib counts in 32 bits: larger bodies go in pieces.
        size_t in_left = length, out_left = bound;
        do {
            const uInt in_now = static_cast<uInt>(std::min<size_t>(in_left, UINT_MAX));
            const uInt out_now = static_cast<uInt>(std::min<size_t>(out_left, UINT_MAX));
            s.avail_in = in_now;
            s.avail_out = out_now;
            rc = deflate(&s, in_now == in_left ? Z_FINISH : Z_NO_FLUSH);
            in_left -= in_now - s.avail_in;
            out_left -= out_now - s.avail_out;
        } while (rc == Z_OK && out_left > 0);
        if (rc != Z_STREAM_END) {
            error = ZlibReason(rc == Z_OK ? Z_BUF_ERROR : rc, s);
            return 0;
        }
        return bound - out_left;
    }

    size_t Zstd(int level, const void *data, size_t length, std::string &error)
    {
        if (!zstd) {
            zstd.reset(ZSTD_createCCtx());
            if (!zstd) {
                error = "out of memory";
                return 0;
            }
        }
        const size_t bound = ZSTD_compressBound(length);
        if (ZSTD_isError(bound)) {
            error = ZSTD_getErrorName(bound);
            return 0;
        }
        const size_t made = ZSTD_compressCCtx(zstd.get(), scratch.Reserve(bound), bound, data, length, level);
        if (ZSTD_isError(made)) {
            error = ZSTD_getErrorName(made);
            return 0;
        }
        return made;
    }
};

htsBodyCompressor::htsBodyCompressor() : contexts(std::make_unique<Contexts>()) { }

htsBodyCompressor::~htsBodyCompressor() = default;

bool htsBodyCompressor::Compress(htsCompression encoding, uint32_t level, const void *data, size_t length,
    std::vector<uint8_t> &out, std::string &error) noexcept
{
    try {
        size_t made = 0;
        if (encoding == htsCompression::Gzip)
            made = contexts->Gzip(static_cast<int>(level), data, length, error);
        else if (encoding == htsCompression::Zstd)
            made = contexts->Zstd(static_cast<int>(level), data, length, error);
        else
            error = "no encoding";
        // Either output holds at least its header: 0 is always a failure.
        const bool ok = made > 0;
        if (ok) out.assign(contexts->scratch.bytes.get(), contexts->scratch.bytes.get() + made);
        contexts->scratch.Trim();
        return ok;
    }
    catch (const std::bad_alloc &) {
        contexts->scratch.Trim();
        try {
            error = "out of memory";
        }
        catch (...) {
        }
        return false;
    }
    catch (...) {
        return false;
    }
}

bool htsPayloadBodies::Wanted(const htsChannelConfig &channel, const vxPluginSinkPayload &payload) noexcept
{
    return channel.compression != htsCompression::None && !payload.flags.IsSet(vxPlugin::COMPRESS_GZIP);
}

htsPostBody htsPayloadBodies::For(const std::string &tag, const htsChannelConfig &channel,
    const vxPluginSinkPayload &payload, htsBodyCompressor &compressor)
{
    if (!Wanted(channel, payload)) return htsOwnBody(payload);
    const uint32_t level = channel.CompressionLevel();
    for (const Copy &c : copies) {
        if (c.encoding != channel.compression || c.level != level) continue;
        if (c.failed) return htsOwnBody(payload);
        return { c.bytes.data(), c.bytes.size(), c.encoding };
    }

    const char *name = channel.compression == htsCompression::Gzip ? "gzip" : "zstd";
    std::string error;
    Copy *made = nullptr;
    try {
        made = &copies.emplace_front(Copy{ channel.compression, level, false, {} });
    }
    catch (const std::bad_alloc &) {
        error = "out of memory";
    }
    if (made != nullptr && compressor.Compress(made->encoding, level, payload.data.get(), payload.length,
                               made->bytes, error))
        return { made->bytes.data(), made->bytes.size(), made->encoding };

    if (made != nullptr) {
        // Remembered, so the other channels of the payload neither try again
        // nor log it again.
        made->failed = true;
        std::vector<uint8_t>().swap(made->bytes);
    }
    vx_printf("%s: cannot compress a payload with %s (level %u): %s; sent uncompressed\n", tag.c_str(), name,
        level, error.c_str());
    return htsOwnBody(payload);
}
