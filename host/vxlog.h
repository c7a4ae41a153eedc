#ifndef VX_LOG_H
#define VX_LOG_H

#include <functional>
#include <string>

// Lines an operator must see.
void vx_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Lines written only while debug logging is on.
void vx_dprintf(const char *format, ...) __attribute__((format(printf, 1, 2)));

void vx_log_set_debug(bool enable);
bool vx_log_debug_enabled();

// Where formatted log text goes; standard error when no sink is set. The sink
// receives the text of one call, unchanged, and is never entered by two
// threads at once. Passing an empty function restores standard error.
using vxLogSink = std::function<void(const std::string &text)>;
void vx_log_set_sink(vxLogSink sink);

#endif
