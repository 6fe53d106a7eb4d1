#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <sys/types.h>
#include <unistd.h>

// The running child of `parent` (this process unless told) named `name`, or -1. A
// process's name is cut to 15 bytes, and so is the one looked for.
inline pid_t childNamed(const QByteArray &name, pid_t parent = ::getpid())
{
    const QString tasksDir = QStringLiteral("/proc/%1/task").arg(parent);
    const QStringList tasks = QDir(tasksDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &task : tasks) {
        QFile children(QStringLiteral("%1/%2/children").arg(tasksDir, task));
        if (!children.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &pid : children.readAll().split(' ')) {
            QFile comm(QStringLiteral("/proc/%1/comm").arg(QString::fromLatin1(pid.trimmed())));
            if (!pid.trimmed().isEmpty() && comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == name.left(15))
                return pid_t(pid.trimmed().toInt());
        }
    }
    return -1;
}

// True while `pid` runs (a zombie waiting for its reaper counts as gone).
inline bool running(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    return pid > 0 && stat.open(QIODevice::ReadOnly) && !stat.readAll().split(')').value(1).trimmed().startsWith('Z');
}

// True once nothing is left of `pid`, not even a zombie: it ended and was reaped.
inline bool reaped(pid_t pid)
{
    return pid > 0 && !QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid));
}
