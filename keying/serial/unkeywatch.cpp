#include "unkeywatch.h"

#include <QDeadlineTimer>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace unkey {
namespace {

// Touched by request(), so by signal handlers: a lock-free counter and a pipe that is
// made once and never closed.
std::atomic<unsigned> g_requests {0};
std::atomic<unsigned> g_kills {0};
int g_wake[2] = {-1, -1};
std::once_flag g_started;

// The watched helper, the watch thread's and attach/detach's, under g_mutex.
std::mutex g_mutex;
int g_socket = -1;
pid_t g_pid = -1;
std::function<void(int)> g_report;
unsigned g_generation = 0;

static_assert(std::atomic<unsigned>::is_always_lock_free);

qint64 now()
{
    return QDeadlineTimer::current().deadline();
}

void wake()
{
    const char byte = 'w';
    [[maybe_unused]] const ssize_t put = ::write(g_wake[1], &byte, 1);
}

void watch()
{
    unsigned handled = g_requests.load();
    unsigned generation = 0;
    unsigned sent = 0;
    unsigned acked = 0;
    qint64 deadline = 0;
    bool live = false;
    QByteArray acks;
    for (;;) {
        int socket = -1;
        {
            std::lock_guard lock(g_mutex);
            socket = live ? g_socket : -1;
        }
        pollfd fds[2] = {{g_wake[0], POLLIN, 0}, {socket, POLLIN, 0}};
        const int timeout = deadline ? int(qMax<qint64>(0, deadline - now())) : -1;
        if (::poll(fds, socket >= 0 ? 2 : 1, timeout) < 0 && errno != EINTR)
            continue;
        char drain[64];
        while (::read(g_wake[0], drain, sizeof drain) > 0) {
        }

        std::lock_guard lock(g_mutex);
        if (generation != g_generation) {
            generation = g_generation;
            live = g_socket >= 0;
            sent = acked = 0;
            deadline = 0;
            acks.clear();
        }
        const unsigned requests = g_requests.load();
        if (requests != handled) {
            const unsigned count = requests - handled;
            handled = requests;
            // A drop is a drop: however many were asked for since the last look, one
            // written is enough, numbered with the last of them.
            const char drop[5] = {'u', char(requests & 0xFF), char((requests >> 8) & 0xFF),
                                  char((requests >> 16) & 0xFF), char((requests >> 24) & 0xFF)};
            if (live && count > 0 && ::send(g_socket, drop, sizeof drop, MSG_NOSIGNAL) == sizeof drop) {
                ++sent;
                if (!deadline)
                    deadline = now() + kDropDeadlineMs;
            }
        }
        if (live) {
            char buffer[64];
            for (;;) {
                const ssize_t got = ::read(g_socket, buffer, sizeof buffer);
                if (got > 0) {
                    acks.append(buffer, got);
                    continue;
                }
                if (got == 0)
                    live = false; // the helper is gone, and with it the port's descriptor
                break;
            }
            // An acknowledgement: 'a' and the errno of the drop, 0 when RTS is low.
            while (acks.size() >= 2) {
                const int error = quint8(acks.at(1));
                acks.remove(0, 2);
                ++acked;
                deadline = acked < sent ? now() + kDropDeadlineMs : 0;
                if (error && g_report)
                    g_report(error);
            }
        }
        if (live && deadline && now() >= deadline) {
            g_kills.fetch_add(1);
            ::kill(g_pid, SIGKILL);
            live = false;
            deadline = 0;
        }
        if (!live)
            deadline = 0;
    }
}

void startOnce()
{
    std::call_once(g_started, [] {
        if (::pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        std::thread(watch).detach();
    });
}

} // namespace

void request()
{
    g_requests.fetch_add(1);
    if (g_wake[1] >= 0)
        wake();
}

unsigned requestsSoFar()
{
    return g_requests.load();
}

unsigned killsSoFar()
{
    return g_kills.load();
}

void attach(int socket, pid_t helper, std::function<void(int)> report)
{
    startOnce();
    const int flags = ::fcntl(socket, F_GETFL);
    ::fcntl(socket, F_SETFL, flags | O_NONBLOCK);
    {
        std::lock_guard lock(g_mutex);
        if (g_socket >= 0)
            ::close(g_socket);
        g_socket = socket;
        g_pid = helper;
        g_report = std::move(report);
        ++g_generation;
    }
    wake();
}

void detach()
{
    std::lock_guard lock(g_mutex);
    if (g_socket >= 0)
        ::close(g_socket);
    g_socket = -1;
    g_pid = -1;
    g_report = nullptr;
    ++g_generation;
}

} // namespace unkey
