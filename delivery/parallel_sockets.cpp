// The parallel engine's socket watch: the epoll set kept in step with the
// sockets libcurl wants watched, the wait on them and the wake-up.
#include <strings.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <deque>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "config/log_text.h"
#include "delivery/curl_ptr.h"
#include "delivery/parallel_delivery.h"
#include "delivery/post_result.h"
#include "delivery/post_setup.h"
#include "delivery/retry_policy.h"
#include "delivery/spool.h"
#include "delivery/transfer_callbacks.h"
#include "delivery/transfer_options.h"
#include "vxconfig.h"
#include "vxexception.h"
#include "vxlog.h"

#include "delivery/parallel_channel.h"

void htsParallelDelivery::CloseDescriptors() noexcept
{
    if (epoll_fd >= 0) close(epoll_fd);
    if (wake_fd >= 0) close(wake_fd);
    epoll_fd = wake_fd = -1;
}

htsParallelDelivery::SocketWatch *htsParallelDelivery::WatchOf(curl_socket_t socket) noexcept
{
    if (socket < 0) return nullptr;
    const size_t index = static_cast<size_t>(socket);
    try {
        if (index >= watches.size()) watches.resize(std::max<size_t>(index + 1, 64));
    }
    catch (...) {
        return nullptr;
    }
    return &watches[index];
}

int htsParallelDelivery::WatchSocket(CURL *, curl_socket_t socket, int what, void *self, void *) noexcept
{
    auto *engine = static_cast<htsParallelDelivery *>(self);
    const int epoll_fd = engine->epoll_fd;
    SocketWatch *watch = engine->WatchOf(socket);
    if (what == CURL_POLL_REMOVE) {
        if (watch != nullptr) {
            // Left in the set: see SocketWatch.
            watch->wanted = false;
            return 0;
        }
        epoll_ctl(epoll_fd, EPOLL_CTL_DEL, socket, nullptr);
        return 0;
    }
    epoll_event ev{};
    ev.events = ((what & CURL_POLL_IN) ? EPOLLIN : 0u) | ((what & CURL_POLL_OUT) ? EPOLLOUT : 0u);
    ev.data.fd = socket;
    if (watch == nullptr) {
        if (epoll_ctl(epoll_fd, EPOLL_CTL_MOD, socket, &ev) != 0 && errno == ENOENT)
            epoll_ctl(epoll_fd, EPOLL_CTL_ADD, socket, &ev);
        return 0;
    }
    const bool was_wanted = watch->wanted;
    watch->wanted = true;
    if (watch->in_set) {
        // Unchanged while libcurl watched it all along, or a connection
        // taken up again for the next post: nothing to do. Any other socket
        // it picks up again may be a new one under the same number, whose
        // predecessor left the set when it closed: always told.
        if ((was_wanted || watch->connection) && watch->events == ev.events) return 0;
        if (epoll_ctl(epoll_fd, EPOLL_CTL_MOD, socket, &ev) == 0) {
            watch->events = ev.events;
            return 0;
        }
        if (errno != ENOENT) return 0;
    }
    watch->in_set = epoll_ctl(epoll_fd, EPOLL_CTL_ADD, socket, &ev) == 0 ||
        (errno == EEXIST && epoll_ctl(epoll_fd, EPOLL_CTL_MOD, socket, &ev) == 0);
    // Unwatched, a transfer still ends at its time limit.
    watch->events = watch->in_set ? ev.events : 0;
    return 0;
}

void htsParallelDelivery::SocketOpened(curl_socket_t socket) noexcept
{
    // Whatever the set held under this number left it when its socket
    // closed.
    if (SocketWatch *watch = WatchOf(socket)) *watch = SocketWatch{ .connection = true };
}

int htsParallelDelivery::CloseSocket(void *self, curl_socket_t socket) noexcept
{
    auto *engine = static_cast<htsParallelDelivery *>(self);
    // The close takes the socket out of the set; the number is free for
    // any socket now.
    if (socket >= 0 && static_cast<size_t>(socket) < engine->watches.size())
        engine->watches[static_cast<size_t>(socket)] = SocketWatch{};
    return close(socket);
}

void htsParallelDelivery::Arm() noexcept { armed.store(true); }

void htsParallelDelivery::Disarm() noexcept { armed.store(false); }

void htsParallelDelivery::Wait(int timeout_ms)
{
    long due = -1;
    curl_multi_timeout(multi.get(), &due);
    if (due >= 0 && due < timeout_ms) timeout_ms = static_cast<int>(due);
    // A retry's back-off ends the wait like a transfer's time limit does.
    const long retry_due = NextRetryMs();
    if (retry_due >= 0 && retry_due < timeout_ms) timeout_ms = static_cast<int>(retry_due);
    const long drain_due = NextDrainMs();
    if (drain_due >= 0 && drain_due < timeout_ms) timeout_ms = static_cast<int>(drain_due);

    epoll_event events[64];
    const int ready = epoll_wait(epoll_fd, events, 64, timeout_ms);
    armed.store(false);
    for (int i = 0; i < ready; i++) {
        const int fd = events[i].data.fd;
        if (fd == wake_fd) {
            uint64_t count = 0;
            if (read(wake_fd, &count, sizeof(count)) < 0) { } // drained either way
            continue;
        }
        if (fd >= 0 && static_cast<size_t>(fd) < watches.size() && !watches[fd].wanted) {
            // A socket libcurl let go of has something to say (its peer
            // closed it, say): out of the set until libcurl wants it again.
            epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
            watches[fd].in_set = false;
            continue;
        }
        int mask = 0;
        if (events[i].events & EPOLLIN) mask |= CURL_CSELECT_IN;
        if (events[i].events & EPOLLOUT) mask |= CURL_CSELECT_OUT;
        if (events[i].events & (EPOLLERR | EPOLLHUP)) mask |= CURL_CSELECT_ERR;
        int running = 0;
        curl_multi_socket_action(multi.get(), fd, mask, &running);
    }
}

void htsParallelDelivery::Wake() noexcept
{
    // Only a sleeping (or about to sleep) worker needs the system call; the
    // exchange lets one waker pay it.
    if (armed.exchange(false)) {
        const uint64_t one = 1;
        if (write(wake_fd, &one, sizeof(one)) < 0) { } // a full counter wakes as well
    }
}
