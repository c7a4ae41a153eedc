#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "vxlog.h"

namespace {

std::atomic<bool> debug_enabled{ false };
std::mutex log_lock;
vxLogSink log_sink;

void Write(const char *format, va_list ap)
{
    // Format first and emit in one call under the lock, so lines from
    // different threads never interleave.
    va_list copy;
    va_copy(copy, ap);
    int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length <= 0) return;

    std::string text(static_cast<size_t>(length), '\0');
    vsnprintf(text.data(), text.size() + 1, format, ap);

    std::lock_guard<std::mutex> guard(log_lock);
    if (log_sink)
        log_sink(text);
    else {
        fwrite(text.data(), 1, text.size(), stderr);
        fflush(stderr);
    }
}

} // namespace

void vx_printf(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    Write(format, ap);
    va_end(ap);
}

void vx_dprintf(const char *format, ...)
{
    if (!debug_enabled.load(std::memory_order_relaxed)) return;
    va_list ap;
    va_start(ap, format);
    Write(format, ap);
    va_end(ap);
}

void vx_log_set_debug(bool enable) { debug_enabled = enable; }

bool vx_log_debug_enabled() { return debug_enabled; }

void vx_log_set_sink(vxLogSink sink)
{
    std::lock_guard<std::mutex> guard(log_lock);
    log_sink = std::move(sink);
}
