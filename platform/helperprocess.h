#pragma once

#include <QString>
#include <QStringList>

#include <sys/types.h>

// A program of the project's own run beside this one, with one socket to talk over (its
// standard input and output). Nothing here ever waits for it: a helper stuck on a disk
// that stopped answering is killed and left to the kernel, and reaped whenever it ends.
// Destroying the object releases the helper (see release()).
class HelperProcess
{
public:
    HelperProcess() = default;
    ~HelperProcess();
    HelperProcess(const HelperProcess &) = delete;
    HelperProcess &operator=(const HelperProcess &) = delete;

    // Where the installed helpers are: beside the program as installed
    // (<prefix>/bin/../libexec/vendrel9/), the same in the build tree.
    static QString programPath(const QString &name);

    // Starts the helper with these arguments; false when it could not be started. A
    // descriptor given as `third` becomes the helper's descriptor 3.
    bool start(const QString &name, const QStringList &arguments, int third = -1);
    bool running() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }
    // Our end of the socket: non-blocking, closed with the helper.
    int socket() const { return m_socket; }
    // Kills it (if it still runs) and lets go; whatever it was doing is abandoned. The
    // kill comes before the pid is handed to its reaper, so it can only hit this helper.
    void kill();
    // Closes our end, which the helper reads as the end of its work, and lets it finish
    // by itself.
    void release();

private:
    pid_t m_pid = -1;
    int m_socket = -1;
};
