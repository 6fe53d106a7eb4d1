#include "ptyports.h"

#include <QFile>
#include <QProcessEnvironment>

#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

PtyPorts::PtyPorts()
{
    qputenv("V9_SHIM_DIR", QFile::encodeName(m_dir.path()));
}

PtyPorts::~PtyPorts()
{
    for (const int fd : m_masters)
        if (fd >= 0)
            ::close(fd);
}

bool PtyPorts::add(int com)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
        return false;
    const char *slave = ::ptsname(master);
    const QByteArray link = QFile::encodeName(m_dir.filePath(QStringLiteral("ttyS%1").arg(com - 1)));
    if (!slave || ::symlink(slave, link.constData()) != 0)
        return false;
    m_masters[size_t(com - 1)] = master;
    return true;
}

QString PtyPorts::slave(int com) const
{
    return QFile::symLinkTarget(m_dir.filePath(QStringLiteral("ttyS%1").arg(com - 1)));
}

bool PtyPorts::hungUp(int com, int timeoutMs) const
{
    pollfd fd {master(com), POLLIN, 0};
    return ::poll(&fd, 1, timeoutMs) > 0 && (fd.revents & POLLHUP);
}

void PtyPorts::closeMaster(int com)
{
    int &fd = m_masters[size_t(com - 1)];
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

QStringList PtyPorts::rtsLog() const
{
    QFile log(m_dir.filePath(QStringLiteral("rts.log")));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

int PtyPorts::rts(int com) const
{
    const QString name = QStringLiteral("ttyS%1 ").arg(com - 1);
    int state = -1;
    for (const QString &line : rtsLog())
        if (line.startsWith(name))
            state = line.section(QLatin1Char(' '), 1, 1).toInt();
    return state;
}

bool PtyPorts::rtsLow(int com) const
{
    termios tio {};
    return rts(com) == 0 || (hungUp(com, 0) && ::tcgetattr(master(com), &tio) == 0 && (tio.c_cflag & HUPCL));
}

void PtyPorts::setFault(int com, const char *fault, bool on)
{
    const QString path = m_dir.filePath(QStringLiteral("ttyS%1.%2").arg(com - 1).arg(QLatin1String(fault)));
    if (on) {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
    } else {
        QFile::remove(path);
    }
}

QStringList PtyPorts::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("V9_SHIM_DIR"), m_dir.path());
    env.insert(QStringLiteral("LD_PRELOAD"), shimPath());
    return env.toStringList();
}

QString PtyPorts::shimPath()
{
    return QStringLiteral(V9_SHIM_PATH);
}
