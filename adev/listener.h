// The uevent listener: a thread that owns the kernel uevent socket and
// dispatches every message it receives to the filter chain.
#pragma once

#include "adev/filter.h"

#include <cstddef>

// The largest message received; the socket's receive buffer is forced to it.
inline constexpr size_t uevent_buffer_size = 65536;

// Opens a uevent socket bound to every multicast group with the process id
// as port id. On failure prints the reason on standard output and returns -1;
// otherwise the descriptor.
int open_uevent_socket();

// Receives one message from fd and dispatches it to chain. Returns the
// number of records that matched, or the negated error number when the
// receive fails. A message longer than uevent_buffer_size is dropped whole
// (-EMSGSIZE) rather than handled cut short.
int receive_and_dispatch(int fd, const filter_chain &chain);

// Starts the listener thread on the process's filter chain, unless it runs
// already. 0, or -1 when the thread cannot be created.
int start_listener();

// Waits until the listener's socket is bound: 0. When the socket cannot be
// set up the listener ends at once and this returns -1, so start-up never
// waits for a listener that is gone.
int wait_listener_ready();

// Tells the listener to stop and waits for it to end (a listener not started
// is no fault). Returns 0.
int stop_listener();

// Waits for the listener thread to end; it runs until the process is killed
// or stop_listener is called. 0, or -1 when no listener was started.
int join_listener();
