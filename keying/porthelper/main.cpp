// vendrel9-port: holds the serial port for the program, and nothing else. The port's
// descriptor lives in this process alone, whose only files are the port and its lock:
// nothing here can wait on a disk, so whatever becomes of the program (killed, hung on a
// stalled share, crashed) this process ends and the kernel hangs the port up, which
// drops RTS.
//
// On standard input, one command a line: "open <device>", "rts 1", "rts 0", "close".
// On standard output, one answer a line, in order: "ok", or "fail <kind> <reason>".
// The end of standard input, SIGTERM, SIGHUP, SIGINT or the program's end: RTS down,
// the port closed, the helper ended.
#include "serialline.h"

#include <QByteArray>
#include <QString>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

int g_stop[2] = {-1, -1};

void onSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t put = ::write(g_stop[1], &byte, 1);
    errno = saved;
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

bool answer(bool ok, const SerialLine &line)
{
    QByteArray reply = ok ? QByteArray("ok\n")
                          : "fail " + kindOf(line.failure()) + ' ' + line.reason().toUtf8().replace('\n', ' ') + '\n';
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

bool carryOut(const QByteArray &command, SerialLine &line)
{
    if (command.startsWith("open "))
        return answer(line.open(QString::fromUtf8(command.mid(5))), line);
    if (command == "rts 1")
        return answer(line.setRts(true), line);
    if (command == "rts 0")
        return answer(line.setRts(false), line);
    if (command == "close") {
        line.close();
        return answer(true, line);
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    // Ended by the kernel with SIGTERM when the program's thread that started it ends,
    // however the program ends; the program's pid comes as the argument, in case it had
    // ended before this line.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (argc < 2 || ::getppid() != pid_t(std::atoll(argv[1])))
        return 0;
    if (::pipe2(g_stop, O_CLOEXEC | O_NONBLOCK) != 0)
        return 1;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (const int number : {SIGTERM, SIGHUP, SIGINT})
        ::sigaction(number, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    SerialLine line;
    QByteArray pending;
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {g_stop[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        // Commands already sent are carried out first: an RTS drop among them is the
        // last thing the program asked for.
        bool more = true;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[4096];
            const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (got > 0)
                pending.append(buffer, got);
            else if (got == 0 || errno != EINTR)
                more = false;
            qsizetype end = -1;
            while (more && (end = pending.indexOf('\n')) >= 0) {
                const QByteArray command = pending.left(end);
                pending.remove(0, end + 1);
                more = carryOut(command, line);
            }
        }
        if (!more || (fds[1].revents & POLLIN))
            break;
    }
    line.close();
    return 0;
}
