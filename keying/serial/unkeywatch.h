#pragma once

#include <functional>
#include <sys/types.h>

// The way from "unkey" to RTS low that needs nothing but the kernel: not the window's
// thread (it may be stuck writing to a display that stopped answering), not a healthy
// port helper. A thread of its own, one per process, writes the drop to the helper's
// unkey socket and waits for its acknowledgement; a helper that has not acknowledged
// within kDropDeadlineMs (stopped, or stuck in a modem ioctl) is killed, and the kernel
// hangs the port up (HUPCL), which drops RTS.
namespace unkey {

constexpr int kDropDeadlineMs = 50;

// Asks for RTS low now. Async-signal-safe: a signal handler calls it.
void request();
// How many drops have been asked for so far. An open tells the helper this number: a
// drop numbered above it came after the open was asked for, and calls the open off.
unsigned requestsSoFar();
// How many helpers this watch has killed for a missed drop. Counted before the kill, so
// whoever sees the helper's end afterwards already sees the count.
unsigned killsSoFar();

// The helper to drop RTS through: our end of its unkey socket (taken over, closed by
// detach()) and its pid. `dropFailed` runs on the watch thread with the helper's errno
// when it could not switch RTS, and must only post.
void attach(int socket, pid_t helper, std::function<void(int error)> dropFailed);
// From its return on, the helper is neither written to nor killed from here, so its pid
// may be handed to a reaper.
void detach();

} // namespace unkey
