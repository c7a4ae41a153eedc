#ifndef VX_EXCEPTION_H
#define VX_EXCEPTION_H

#include <exception>
#include <string>

// Every failure of the agent's own code and of its plug-ins is thrown as a
// vxException holding a printf-formatted message.
class vxException : public std::exception
{
public:
    explicit vxException(const char *format, ...)
        __attribute__((format(printf, 2, 3)));

    const char *what() const noexcept override { return message.c_str(); }

private:
    std::string message;
};

#endif
