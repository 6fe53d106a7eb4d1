#include "helperprocess.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

// A helper that was let go of is reaped once it ends, by a thread of its own that only
// ever waits for that one child: a helper in uninterruptible sleep on a stalled disk ends
// only when the disk answers, and nothing else may wait that long.
void reapWhenItEnds(pid_t pid)
{
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

} // namespace

HelperProcess::~HelperProcess()
{
    release();
}

QString HelperProcess::programPath(const QString &name)
{
    const QString self = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    return QFileInfo(self).absolutePath() + QStringLiteral("/../libexec/vendrel9/") + name;
}

bool HelperProcess::start(const QString &name, const QStringList &arguments, int third)
{
    kill();
    int pair[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return false;
    const QByteArray program = QFile::encodeName(programPath(name));
    std::vector<QByteArray> storage {program};
    for (const QString &argument : arguments)
        storage.push_back(argument.toUtf8());
    std::vector<char *> argv;
    for (QByteArray &item : storage)
        argv.push_back(item.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The helper's end becomes its standard input and output; dup2 clears close-on-exec.
    posix_spawn_file_actions_adddup2(&actions, pair[1], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pair[1], STDOUT_FILENO);
    if (third >= 0)
        posix_spawn_file_actions_adddup2(&actions, third, 3);
    pid_t pid = -1;
    const int failed = ::posix_spawn(&pid, program.constData(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pair[1]);
    if (failed != 0) {
        ::close(pair[0]);
        return false;
    }
    m_pid = pid;
    m_socket = pair[0];
    const int flags = ::fcntl(m_socket, F_GETFL);
    ::fcntl(m_socket, F_SETFL, flags | O_NONBLOCK);
    return true;
}

void HelperProcess::kill()
{
    if (m_pid > 0)
        ::kill(m_pid, SIGKILL);
    release();
}

void HelperProcess::release()
{
    if (m_socket >= 0)
        ::close(m_socket);
    m_socket = -1;
    if (m_pid > 0)
        reapWhenItEnds(m_pid);
    m_pid = -1;
}
