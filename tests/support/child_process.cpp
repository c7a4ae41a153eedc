#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "child_process.h"

extern char **environ;

namespace vxtest {

namespace {

size_t CountOf(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) n++;
    return n;
}

int Decode(int raw)
{
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string> &argv)
{
    // Writing to a child that already ended must fail, not end the tests.
    static const bool sigpipe_ignored = [] {
        signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)sigpipe_ignored;

    int in[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        throw std::runtime_error("pipe failed");
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);

    // A clean signal state, whatever the test program has blocked or ignored.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : { SIGHUP, SIGINT, SIGTERM, SIGPIPE }) sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    int rc = posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(in[0]);
    close(err[1]);
    if (rc != 0) {
        close(in[1]);
        close(err[0]);
        throw std::runtime_error("cannot start " + argv[0]);
    }
    input = in[1];
    reader = std::thread([this, fd = err[0]] { ReadErrors(fd); });
}

ChildProcess::~ChildProcess()
{
    if (!status && pid > 0) {
        kill(pid, SIGKILL);
        int raw = 0;
        waitpid(pid, &raw, 0);
    }
    CloseInput();
    if (reader.joinable()) reader.join();
}

void ChildProcess::ReadErrors(int fd)
{
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        {
            std::lock_guard<std::mutex> guard(lock);
            errors.append(buffer, static_cast<size_t>(n));
        }
        cond.notify_all();
    }
    close(fd);
    {
        std::lock_guard<std::mutex> guard(lock);
        errors_closed = true;
    }
    cond.notify_all();
}

bool ChildProcess::Write(const std::string &text)
{
    size_t done = 0;
    while (input >= 0 && done < text.size()) {
        ssize_t n = write(input, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return input >= 0;
}

void ChildProcess::CloseInput()
{
    if (input >= 0) {
        close(input);
        input = -1;
    }
}

void ChildProcess::Signal(int sig) const
{
    if (!status && pid > 0) kill(pid, sig);
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout)
{
    if (status) return status;
    // The child's standard error closes when it ends (it starts nothing
    // that would inherit it), which gives a wait with a deadline.
    bool ended;
    {
        std::unique_lock<std::mutex> guard(lock);
        ended = cond.wait_for(guard, timeout, [this] { return errors_closed; });
    }
    int raw = 0;
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &raw, 0);
        status = 128 + SIGKILL;
        return std::nullopt;
    }
    while (waitpid(pid, &raw, 0) < 0 && errno == EINTR) { }
    status = Decode(raw);
    return status;
}

bool ChildProcess::Running()
{
    if (status) return false;
    int raw = 0;
    pid_t done = waitpid(pid, &raw, WNOHANG);
    if (done == pid) {
        status = Decode(raw);
        return false;
    }
    return true;
}

std::string ChildProcess::Stderr() const
{
    std::lock_guard<std::mutex> guard(lock);
    return errors;
}

size_t ChildProcess::StderrCount(const std::string &needle) const
{
    return CountOf(Stderr(), needle);
}

bool ChildProcess::WaitForStderr(const std::string &needle, size_t count,
    std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> guard(lock);
    return cond.wait_for(guard, timeout, [&] { return CountOf(errors, needle) >= count; });
}

} // namespace vxtest
