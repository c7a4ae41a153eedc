#ifndef VX_CHILD_PROCESS_H
#define VX_CHILD_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vxtest {

// A program run as a child process with its standard input on a pipe we
// write to and its standard error gathered as it comes. Never outlives its
// deadline: Wait() kills a child that does not end in time, and so does the
// destructor for one still running.
class ChildProcess
{
public:
    explicit ChildProcess(const std::vector<std::string> &argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // False once the child closed its end.
    bool Write(const std::string &text);
    void CloseInput();
    void Signal(int sig) const;

    // The exit status, 128 + the number of a signal that ended it, or
    // nothing when it was still running at the deadline (it is then killed).
    std::optional<int> Wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // True while the child has not ended; does not wait.
    bool Running();

    std::string Stderr() const;
    size_t StderrCount(const std::string &needle) const;
    // Waits until `needle` has appeared `count` times on standard error.
    bool WaitForStderr(const std::string &needle, size_t count = 1,
        std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    void ReadErrors(int fd);

    pid_t pid = -1;
    int input = -1;
    std::optional<int> status;
    std::thread reader;

    mutable std::mutex lock;
    mutable std::condition_variable cond;
    std::string errors;
    bool errors_closed = false;
};

} // namespace vxtest

#endif
