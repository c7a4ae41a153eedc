#include <cstdarg>
#include <cstdio>

#include "vxexception.h"

vxException::vxException(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    va_list copy;
    va_copy(copy, ap);
    int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length > 0) {
        message.resize(static_cast<size_t>(length));
        vsnprintf(message.data(), message.size() + 1, format, ap);
    }
    va_end(ap);
}
