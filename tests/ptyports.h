#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <array>

// Pseudo-terminals standing in for /dev/ttyS0 ... /dev/ttyS5 under the modem-line shim:
// V9_SHIM_DIR is pointed at a private folder holding a link per port made present.
class PtyPorts
{
public:
    PtyPorts();
    ~PtyPorts();
    bool isValid() const { return m_dir.isValid(); }
    QString dir() const { return m_dir.path(); }
    // Makes COMn exist (n = 1 ... 6); returns false when no pty could be had.
    bool add(int com);
    // The master side: its termios is the port's.
    int master(int com) const { return m_masters[size_t(com - 1)]; }
    // The pseudo-terminal COMn stands for.
    QString slave(int com) const;
    // True once no process holds COMn open any more (the port hung up), within the time.
    bool hungUp(int com, int timeoutMs) const;
    // Closes the master side, as when the device at the far end is gone.
    void closeMaster(int com);
    // RTS changes as "ttySn <0|1> <ns>" lines, oldest first.
    QStringList rtsLog() const;
    // The last RTS state the shim logged for COMn: -1 if never.
    int rts(int com) const;
    // True while RTS is low on the line: dropped as the shim logged it, or the port held
    // by no process with HUPCL set, so that the kernel dropped it on the last close (a
    // killed process's close, which its shim cannot log).
    bool rtsLow(int com) const;
    void setFault(int com, const char *fault, bool on);
    // Environment for a child process under the shim.
    QStringList environment() const;
    static QString shimPath();

private:
    QTemporaryDir m_dir;
    std::array<int, 6> m_masters {-1, -1, -1, -1, -1, -1};
};
