// vendrel9-port: holds the serial port for the program, and nothing else. The port's
// descriptor lives in this process alone, whose only files are the port and its lock:
// nothing here can wait on a disk, so whatever becomes of the program (killed, hung on a
// stalled share, crashed) this process ends and the kernel hangs the port up, which
// drops RTS.
//
// Standard input and output: framed requests (platform/frames.h) answered in order:
// ["open", device, N], ["rts", "1"], ["close"]; answers ["ok"] or
// ["fail", kind, reason]. Descriptor 3, when given: the unkey socket. Each drop read
// there ('u' and its number, four bytes little-endian) drops RTS at once, whatever the
// main thread is doing, and is acknowledged with two bytes: 'a' and the errno of the
// drop (0 when RTS is low). N is the number of the last drop the program had asked for
// when it asked for the open: a drop numbered above it calls the open off (it is closed
// again) and RTS is never raised for it. The end of standard input, SIGTERM, SIGHUP, SIGINT: RTS down,
// the port closed, the helper ended. The program's end kills it (SIGKILL).
#include "frames.h"
#include "serialline.h"

#include <QFile>
#include <QString>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kUnkeySocket = 3;

int g_stop[2] = {-1, -1};
int g_dropNow[2] = {-1, -1};

// The line as the unkey thread sees it, under g_line: the open port's descriptor, and
// the number of the last drop that came (a signal's counts as the last of all).
std::mutex g_line;
int g_fd = -1;
unsigned g_lastDrop = 0;
constexpr unsigned kSignalled = ~0u;

void onSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t dropped = ::write(g_dropNow[1], &byte, 1);
    [[maybe_unused]] const ssize_t stopped = ::write(g_stop[1], &byte, 1);
    errno = saved;
}

int dropRts(unsigned number)
{
    std::lock_guard lock(g_line);
    g_lastDrop = qMax(g_lastDrop, number);
    int bits = TIOCM_RTS;
    if (g_fd >= 0 && ::ioctl(g_fd, TIOCMBIC, &bits) != 0)
        return errno;
    return 0;
}

// Drops RTS for the program's unkey socket and for signals, beside a main thread that
// may be stuck in an open or a modem ioctl. Stuck in such an ioctl itself, it stays
// silent, and the program kills this process.
void unkeyThread(bool haveSocket)
{
    QByteArray drops;
    for (;;) {
        pollfd fds[2] = {{g_dropNow[0], POLLIN, 0}, {haveSocket ? kUnkeySocket : -1, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0)
            continue;
        char buffer[64];
        if (fds[0].revents & POLLIN) {
            while (::read(g_dropNow[0], buffer, sizeof buffer) > 0) {
            }
            dropRts(kSignalled);
        }
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t got = ::read(kUnkeySocket, buffer, sizeof buffer);
            if (got <= 0) {
                haveSocket = false;
                continue;
            }
            drops.append(buffer, got);
            while (drops.size() >= 5) {
                const auto byte = [&](int i) { return unsigned(quint8(drops.at(i))); };
                const unsigned number = byte(1) | byte(2) << 8 | byte(3) << 16 | byte(4) << 24;
                drops.remove(0, 5);
                const int error = dropRts(number);
                const char ack[2] = {'a', char(qMin(error, 255))};
                [[maybe_unused]] const ssize_t put = ::write(kUnkeySocket, ack, 2);
            }
        }
    }
}

QByteArray kindOf(SerialLine::Failure failure)
{
    switch (failure) {
    case SerialLine::Failure::NotFound:
        return "notfound";
    case SerialLine::Failure::Busy:
        return "busy";
    case SerialLine::Failure::PermissionDenied:
        return "permission";
    case SerialLine::Failure::None:
    case SerialLine::Failure::Other:
        break;
    }
    return "other";
}

bool answer(const frames::Fields &fields)
{
    const QByteArray reply = frames::encode(fields);
    const char *at = reply.constData();
    qsizetype left = reply.size();
    while (left > 0) {
        const ssize_t put = ::write(STDOUT_FILENO, at, size_t(left));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false; // the program is gone
        at += put;
        left -= put;
    }
    return true;
}

bool answer(bool ok, const SerialLine &line)
{
    return ok ? answer({"ok"}) : answer({"fail", kindOf(line.failure()), line.reason().toUtf8()});
}

struct Helper
{
    pid_t program = 0;
    SerialLine line;
    unsigned dropsBeforeOpen = 0;

    bool open(const QByteArray &device, unsigned dropsBefore)
    {
        // Never opened for a program that is gone: an open raises RTS and DTR.
        if (::getppid() != program)
            std::_Exit(0);
        dropsBeforeOpen = dropsBefore;
        if (calledOff())
            return answer({"fail", "cancelled", "called off before opening"});
        if (!line.open(QFile::decodeName(device)))
            return answer(false, line);
        std::unique_lock lock(g_line);
        if (g_lastDrop > dropsBeforeOpen) {
            lock.unlock();
            line.close();
            return answer({"fail", "cancelled", "called off while opening"});
        }
        g_fd = line.handle();
        return answer({"ok"});
    }

    bool calledOff()
    {
        std::lock_guard lock(g_line);
        return g_lastDrop > dropsBeforeOpen;
    }

    // RTS is only ever dropped through the unkey socket.
    bool raiseRts()
    {
        bool done = false;
        {
            // Held across the ioctl, so that a drop cannot come between the check and the
            // raise; not across the answer, which may wait on a program slow to read.
            std::lock_guard lock(g_line);
            if (g_lastDrop > dropsBeforeOpen)
                return answer({"fail", "cancelled", "called off"});
            done = line.setRts(true);
        }
        return answer(done, line);
    }

    bool close()
    {
        {
            std::lock_guard lock(g_line);
            g_fd = -1;
        }
        return line.close();
    }

    bool carryOut(const frames::Fields &request)
    {
        const QByteArray verb = request.value(0);
        if (verb == "open" && request.size() == 3)
            return open(request.at(1), request.at(2).toUInt());
        if (verb == "rts" && request.size() == 2 && request.at(1) == "1")
            return raiseRts();
        if (verb == "close")
            return answer(close(), line);
        return answer({"fail", "other", "unknown request"});
    }
};

} // namespace

int main(int argc, char **argv)
{
    // Killed by the kernel when the program's thread that started it ends, however the
    // program ends, even in the middle of an open; the program's pid comes as the
    // argument, in case it had ended before this line.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    Helper helper;
    helper.program = argc >= 2 ? pid_t(std::atoll(argv[1])) : 0;
    if (::getppid() != helper.program)
        return 0;
    if (::pipe2(g_stop, O_CLOEXEC | O_NONBLOCK) != 0 || ::pipe2(g_dropNow, O_CLOEXEC | O_NONBLOCK) != 0)
        return 1;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (const int number : {SIGTERM, SIGHUP, SIGINT})
        ::sigaction(number, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    std::thread(unkeyThread, ::fcntl(kUnkeySocket, F_GETFD) >= 0).detach();

    QByteArray pending;
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {g_stop[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        // Requests already sent are carried out first: an RTS drop among them is the
        // last thing the program asked for.
        bool more = true;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[4096];
            const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (got > 0)
                pending.append(buffer, got);
            else if (got == 0 || errno != EINTR)
                more = false;
            frames::Fields request;
            frames::Take taken = frames::Take::NeedMore;
            while (more && (taken = frames::take(pending, &request)) == frames::Take::Message)
                more = helper.carryOut(request);
            if (taken == frames::Take::Broken)
                more = false;
        }
        if (!more || (fds[1].revents & POLLIN))
            break;
    }
    helper.close();
    return 0;
}
