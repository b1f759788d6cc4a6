// The listener thread polls the netlink socket and an eventfd that stop_listener writes to, so
// that stopping never waits for the next uevent. A datagram longer than the buffer is dropped
// whole (-EMSGSIZE) rather than dispatched cut.
#include "adev/listener.h"

#include "core/unique.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/netlink.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The listener's process-wide state. The chain is complete before the
// listener starts and never changes, so it is read without a lock.
struct listener_state {
    std::atomic<int> running{0};
    std::atomic<int> failed{0};
    bool started = false;
    pthread_t thread{};
    unique_semaphore ready; // posted once the thread has its socket, or has failed
    unique_fd wake;         // written by stop_listener to end the wait at once
};

listener_state listener;

void *listen_events(void *) {
    unique_fd fd(open_uevent_socket());
    if (!fd.valid()) listener.failed = 1;
    listener.ready.post();
    if (!fd.valid()) return nullptr;
    const filter_chain &chain = registered_filters();
    while (listener.running) {
        pollfd p[2] = {{fd.get(), POLLIN, 0}, {listener.wake.get(), POLLIN, 0}};
        int n = poll(p, 2, 1000);
        // A pending error (such as ENOBUFS after an overflow) is taken by the
        // receive too, so that it is not reported again on every turn.
        if (n > 0 && (p[0].revents & (POLLIN | POLLERR)) != 0)
            receive_and_dispatch(fd.get(), chain);
    }
    return nullptr;
}

} // namespace

int open_uevent_socket() {
    unique_fd fd(socket(PF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT));
    if (!fd.valid()) {
        printf("Unable to create uevent socket: %s\n", strerror(errno));
        return -1;
    }
    int size = static_cast<int>(uevent_buffer_size);
    if (setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
        printf("Unable to set uevent socket options: %s\n", strerror(errno));
        return -1;
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_pid = static_cast<__u32>(getpid());
    address.nl_groups = 0xFFFFFFFF;
    if (bind(fd.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        printf("Unable to bind uevent socket: %s\n", strerror(errno));
        return -1;
    }
    return fd.release();
}

int receive_and_dispatch(int fd, const filter_chain &chain) {
    char buffer[uevent_buffer_size];
    // MSG_TRUNC: the result is the datagram's whole length, even when longer
    // than the buffer.
    ssize_t n = recv(fd, buffer, sizeof buffer, MSG_TRUNC);
    if (n < 0) return -errno;
    if (static_cast<size_t>(n) > sizeof buffer) return -EMSGSIZE;
    return dispatch_event(chain, std::string_view(buffer, static_cast<size_t>(n)));
}

int start_listener() {
    if (listener.running) return 0;
    listener.ready.reset();
    listener.failed = 0;
    listener.wake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    listener.running = 1;
    if (pthread_create(&listener.thread, nullptr, listen_events, nullptr) != 0) {
        listener.running = 0;
        listener.failed = 1;
        listener.ready.post();
        return -1;
    }
    listener.started = true;
    return 0;
}

int wait_listener_ready() {
    listener.ready.wait();
    return listener.failed ? -1 : 0;
}

int stop_listener() {
    listener.running = 0;
    if (listener.wake.valid()) {
        uint64_t one = 1;
        ssize_t ignored = write(listener.wake.get(), &one, sizeof one);
        (void)ignored;
    }
    join_listener();
    return 0;
}

int join_listener() {
    if (!listener.started) return -1;
    listener.started = false;
    pthread_join(listener.thread, nullptr);
    return 0;
}
