// Prints one table of the figures that matter to an operator: how fast the window comes
// up, how fast the path rebinds, how fast the radio keys and unkeys, how fast sound
// starts, and what playing costs. Real adapters throughout; the serial port is a pty
// under the modem-line shim, the sound the private server of scripts/pulse.sh.
#include "devicetools.h"
#include "filebinding.h"
#include "form1.h"
#include "lamp.h"
#include "mediabar.h"
#include "ptyports.h"
#include "serialportadapter.h"
#include "station.h"
#include "unkeywatch.h"
#include "wavedevice.h"
#include "wavtools.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QPushButton>
#include <QToolButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

qint64 nowNs()
{
    timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return qint64(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

struct Row
{
    QString figure;
    std::vector<double> values;
    QString unit;
    QString target;
};

std::vector<Row> g_rows;

void add(const QString &figure, std::vector<double> values, const QString &unit, const QString &target)
{
    g_rows.push_back({figure, std::move(values), unit, target});
}

void printTable()
{
    // Padded as text, not bytes: some figures are named in Greek.
    const auto line = [](const QString &figure, const QString &median, const QString &min, const QString &max,
                         const QString &runs, const QString &target) {
        std::printf("%s\n", qPrintable(figure.leftJustified(44) + median.rightJustified(13) + min.rightJustified(13)
                                       + max.rightJustified(13) + runs.rightJustified(6) + QStringLiteral("  ") + target));
    };
    std::printf("\n");
    line(QStringLiteral("figure"), QStringLiteral("median"), QStringLiteral("min"), QStringLiteral("max"),
         QStringLiteral("runs"), QStringLiteral("target"));
    for (Row &row : g_rows) {
        if (row.values.empty()) {
            line(row.figure, QStringLiteral("n/a"), QString(), QString(), QStringLiteral("0"), row.target);
            continue;
        }
        std::sort(row.values.begin(), row.values.end());
        const double median = row.values[row.values.size() / 2];
        const auto cell = [&row](double v) { return QStringLiteral("%1 %2").arg(v, 0, 'f', v < 10 ? 3 : 1).arg(row.unit); };
        line(row.figure, cell(median), cell(row.values.front()), cell(row.values.back()),
             QString::number(row.values.size()), row.target);
    }
    std::fflush(stdout);
}

qint64 rssKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return 0;
}

double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void pump(int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::usleep(500);
    }
}

// Runs an event loop until done() holds or ms have passed, and says whether it held. The
// port's and the dialog's answers reach the window only through its loop, and a loop
// that sleeps in poll() takes them as soon as they come, as the program's own does: a
// loop of processEvents() and sleeps would add its sleeps to every figure.
template<typename Done>
bool loopUntil(Done done, int ms)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer check;
    check.setTimerType(Qt::PreciseTimer);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    check.start(1);
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    deadline.start(ms);
    loop.exec();
    return done();
}

void loopFor(int ms)
{
    loopUntil([] { return false; }, ms);
}

// The notices the window has put up (non-modal boxes) since the last call, closed.
int closeNotices()
{
    int count = 0;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<QMessageBox *>(widget) && widget->isVisible()) {
            ++count;
            widget->close();
        }
    }
    return count;
}

// A WAV of the given data size; the data is a hole in the file, so 4 GB costs no disk.
QString sparseWav(const QTemporaryDir &dir, const char *name, quint32 dataBytes)
{
    const QString path = dir.filePath(QString::fromLatin1(name));
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(wavtools::wavHeader(dataBytes, 2, 48000));
    file.resize(44 + qint64(dataBytes));
    return path;
}

// The file binding on the real device, without a window around it.
struct BindingRig
{
    WaveDevice device;
    MediaBar bar {device};
    QLineEdit text;
    LineEditField field {text};
    QtFileDialog dialog;
    FileBindingControls controls {field, bar, dialog};
};

void benchRebind(const QTemporaryDir &dir)
{
    const struct { const char *label; const char *name; quint32 bytes; } sizes[] = {
        {"rebind, 44-byte WAV", "empty.wav", 0},
        {"rebind, 10 MB WAV", "ten.wav", 10u * 1000 * 1000},
        {"rebind, 4 GB sparse WAV", "four.wav", 0xFFFFFF00u},
    };
    for (const auto &size : sizes) {
        const QString path = sparseWav(dir, size.name, size.bytes);
        BindingRig rig;
        rig.text.setText(path);
        std::vector<double> us;
        for (int i = 0; i < 300; ++i) {
            const qint64 t0 = nowNs();
            Text1_Change(rig.controls);
            us.push_back(double(nowNs() - t0) / 1000.0);
        }
        devicetools::settled(rig.device);
        if (rig.device.mode() != IAudioDevice::Mode::Stopped)
            std::printf("warning: %s did not open\n", size.name);
        add(QString::fromLatin1(size.label), us, QStringLiteral("us"), QStringLiteral("< 200 us"));
    }

    // Typing a 200-character path, one keystroke at a time.
    BindingRig rig;
    QObject::connect(&rig.text, &QLineEdit::textChanged, [&rig] { Text1_Change(rig.controls); });
    QString path = dir.path() + QLatin1Char('/');
    while (path.size() < 196)
        path += QLatin1Char('a');
    path += QStringLiteral(".wav");
    std::vector<double> us;
    QString typed;
    for (const QChar c : path) {
        typed += c;
        const qint64 t0 = nowNs();
        rig.text.setText(typed);
        us.push_back(double(nowNs() - t0) / 1000.0);
    }
    add(QStringLiteral("rebind per keystroke, 200-char path"), us, QStringLiteral("us"), QStringLiteral("< 200 us"));
}

// The first change of COMn's RTS to state after that moment in the shim's log.
qint64 rtsSeen(const PtyPorts &ports, int com, int state, qint64 after)
{
    const QString name = QStringLiteral("ttyS%1 %2 ").arg(com - 1).arg(state);
    for (const QString &line : ports.rtsLog()) {
        if (!line.startsWith(name))
            continue;
        const qint64 t = line.section(QLatin1Char(' '), 2).toLongLong();
        if (t >= after)
            return t;
    }
    return -1;
}

// The same, waiting up to a second for the port's helper to make the change; -1 if
// none came.
qint64 rtsTime(const PtyPorts &ports, int com, int state, qint64 after)
{
    for (int wait = 0; wait < 1000; ++wait) {
        const qint64 t = rtsSeen(ports, com, state, after);
        if (t >= 0)
            return t;
        QThread::usleep(1000);
    }
    return -1;
}

// When COMn's RTS went low after that moment, waiting up to timeoutMs: as the shim
// logged it, or as the port's hang-up seen at the pty's master. A helper killed (at a
// missed deadline, or with the program) has its port closed by the kernel, where no shim
// logs anything, and with HUPCL set that close is what drops RTS.
qint64 rtsLowOrHangUp(const PtyPorts &ports, int com, qint64 after, int timeoutMs)
{
    const qint64 end = nowNs() + qint64(timeoutMs) * 1000000;
    while (nowNs() < end) {
        const qint64 logged = rtsSeen(ports, com, 0, after);
        if (logged >= 0)
            return logged;
        pollfd master {ports.master(com), POLLIN, 0};
        if (::poll(&master, 1, 0) > 0 && (master.revents & POLLHUP))
            return nowNs();
        QThread::usleep(100);
    }
    return -1;
}

// What can hold a handler: the sound server frozen (SIGSTOP), or the bound file's disk
// not answering (the stall shim). Each keying figure is taken in every condition.
enum class Condition { Normal, ServerStopped, DiskStalled };

QString conditionName(Condition condition)
{
    switch (condition) {
    case Condition::ServerStopped:
        return QStringLiteral(", server stopped");
    case Condition::DiskStalled:
        return QStringLiteral(", reads stalled");
    case Condition::Normal:
        break;
    }
    return QString();
}

qint64 serverPid()
{
    QFile file(qEnvironmentVariable("V9_PULSE_PIDFILE"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : 0;
}

// Puts the condition in place for the life of the object.
class Hold
{
public:
    explicit Hold(Condition condition) : m_condition(condition)
    {
        if (condition == Condition::ServerStopped && (m_pid = serverPid()) > 0)
            ::kill(pid_t(m_pid), SIGSTOP);
        if (condition == Condition::DiskStalled)
            QFile(qEnvironmentVariable("V9_STALL_FLAG")).open(QIODevice::WriteOnly);
    }
    ~Hold()
    {
        if (m_pid > 0)
            ::kill(pid_t(m_pid), SIGCONT);
        if (m_condition == Condition::DiskStalled)
            QFile::remove(qEnvironmentVariable("V9_STALL_FLAG"));
    }
    bool possible() const { return m_condition != Condition::ServerStopped || m_pid > 0; }

private:
    Condition m_condition;
    qint64 m_pid = 0;
};

// The file a stalled disk holds, when the stall shim is there.
QString stalledCopy(const QString &tone)
{
    const QString stalled = qEnvironmentVariable("V9_STALL_FILE");
    if (stalled.isEmpty())
        return QString();
    QFile::remove(stalled);
    QFile::copy(tone, stalled);
    return stalled;
}

// The last raise of RTS on COM1 since t0: the kernel's own raise at open comes first.
qint64 lastRaise(const PtyPorts &ports, qint64 t0)
{
    qint64 last = -1;
    for (const QString &line : ports.rtsLog())
        if (line.startsWith(QStringLiteral("ttyS0 1 ")) && line.section(QLatin1Char(' '), 2).toLongLong() >= t0)
            last = line.section(QLatin1Char(' '), 2).toLongLong();
    return last;
}

// The window on the real adapters, COM1 a pty under the shim, bound to a file.
struct KeyedRig
{
    explicit KeyedRig(const QString &file)
    {
        ports.add(1);
        form.Text1->setText(file);
        devicetools::settled(device);
    }
    PtyPorts ports;
    WaveDevice device;
    SerialPortAdapter serial;
    QtFileDialog dialog;
    QtMessageBox messages;
    Form1 form {device, serial, dialog, messages};
};

bool onAir(const Form1 &form)
{
    return !form.Shape1->isHidden();
}

// Clicks ΑΝΑΠΑΡΑΓΩΓΗ+ΕΚΠΟΜΠΗ and runs the window's loop until the lamp shows, which it
// does once the port's helper has raised RTS: from the click to RTS high as the shim
// logged it, in ns, or -1 when the transmission did not key.
qint64 clickToKeyed(Form1 &form, const PtyPorts &ports)
{
    const qint64 t0 = nowNs();
    form.cmdPlayTr->click();
    if (!loopUntil([&form] { return onAir(form); }, 10000))
        return -1;
    const qint64 high = lastRaise(ports, t0);
    return high >= 0 ? high - t0 : -1;
}

void benchKeying(const QString &tone, Condition condition)
{
    const QString suffix = conditionName(condition);
    if (!qEnvironmentVariable("LD_PRELOAD").contains(QStringLiteral("v9modemshim"))) {
        add(QStringLiteral("click to RTS high") + suffix, {}, QString(), QStringLiteral("needs the shim"));
        return;
    }
    const QString file = condition == Condition::DiskStalled ? stalledCopy(tone) : tone;
    KeyedRig rig(file);
    PtyPorts &ports = rig.ports;
    Form1 &form = rig.form;
    std::vector<double> up, down;
    for (int i = 0; i < 30 && !file.isEmpty(); ++i) {
        Hold hold(condition);
        if (!hold.possible())
            break;
        const qint64 high = clickToKeyed(form, ports);
        if (high >= 0)
            up.push_back(double(high) / 1e6);
        pump(50);
        // The drop needs nothing of the window's thread, which waits here meanwhile.
        const qint64 t0 = nowNs();
        form.cmdStop->click();
        const qint64 low = rtsTime(ports, 1, 0, t0);
        if (low >= 0)
            down.push_back(double(low - t0) / 1e6);
        QFile::remove(ports.dir() + QStringLiteral("/rts.log"));
        // Back to the start, so every run plays.
        form.MMControl1->button(MediaBar::Start)->click();
    }
    add(QStringLiteral("click to RTS high") + suffix, up, QStringLiteral("ms"), QStringLiteral("< 1 ms"));
    add(QStringLiteral("ΔΙΑΚΟΠΗ to RTS low") + suffix, down, QStringLiteral("ms"), QStringLiteral("< 1 ms"));
}

// How a keyed child program runs: in what folder, with what environment beside the
// shim's ("NAME=value", over what is there; the offscreen platform unless given), and
// whether in a process group of its own, as a program started from a terminal is.
struct ChildOptions
{
    QString folder;
    QStringList environment;
    bool ownProcessGroup = false;
};

// This benchmark started again as a program keyed on the COM1 of ports (keyedChild
// below); true once the child says it is on air, RTS high.
bool startKeyedChild(QProcess &child, const PtyPorts &ports, const QStringList &arguments,
                     const ChildOptions &options = {})
{
    QProcessEnvironment env;
    for (const QString &setting : ports.environment() + QStringList {QStringLiteral("QT_QPA_PLATFORM=offscreen")}
                                      + options.environment)
        env.insert(setting.section(QLatin1Char('='), 0, 0), setting.section(QLatin1Char('='), 1));
    child.setProcessEnvironment(env);
    if (!options.folder.isEmpty())
        child.setWorkingDirectory(options.folder);
    if (options.ownProcessGroup)
        child.setChildProcessModifier([] { ::setpgid(0, 0); });
    child.start(QCoreApplication::applicationFilePath(), QStringList{QStringLiteral("--keyed-child")} + arguments);
    if (!child.waitForStarted(10000))
        return false;
    QElapsedTimer clock;
    clock.start();
    while (!child.canReadLine() && child.state() == QProcess::Running && clock.elapsed() < 15000)
        child.waitForReadyRead(100);
    return child.readLine().trimmed() == "keyed";
}

// Ends a keyed child: it should end by itself after a signal; killed if not.
void endChild(QProcess &child)
{
    if (!child.waitForFinished(5000))
        child.kill();
    child.waitForFinished();
}

// The file dialog open on air on a folder that has stopped answering (the stall shim's
// frozen share): ΔΙΑΚΟΠΗ in the same window, and SIGTERM to a child program.
void benchDialogStalled(const QString &tone)
{
    if (!qEnvironmentVariable("LD_PRELOAD").contains(QStringLiteral("v9stallshim")))
        return;
    QTemporaryDir share;
    const QString freeze = share.filePath(QStringLiteral("../") + QFileInfo(share.path()).fileName() + QStringLiteral(".frozen"));
    qputenv("V9_SHARE_DIR", QFile::encodeName(share.path()));
    qputenv("V9_SHARE_FREEZE", QFile::encodeName(freeze));
    const QString oldDir = QDir::currentPath();
    QDir::setCurrent(share.path());
    std::vector<double> stop, term;
    {
        KeyedRig rig(tone);
        rig.dialog.setParentWidget(&rig.form);
        rig.dialog.keepLive(rig.form.cmdStop);
        for (int i = 0; i < 10; ++i) {
            if (clickToKeyed(rig.form, rig.ports) >= 0) {
                QFile(freeze).open(QIODevice::WriteOnly);
                rig.form.cmdWav->trigger(); // returns at once; the dialog's helper waits on the share
                loopFor(500);
                const qint64 t0 = nowNs();
                rig.form.cmdStop->click();
                const qint64 low = rtsTime(rig.ports, 1, 0, t0);
                if (low >= 0)
                    stop.push_back(double(low - t0) / 1e6);
                QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
                QCoreApplication::sendEvent(&rig.form, &escape);
                loopFor(20);
            }
            // Escape takes down a dialog on screen; this one never showed.
            rig.dialog.cancel();
            rig.form.cmdStop->click();
            QFile::remove(freeze);
            QFile::remove(rig.ports.dir() + QStringLiteral("/rts.log"));
            rig.form.MMControl1->button(MediaBar::Start)->click();
        }
    }
    for (int i = 0; i < 10; ++i) {
        PtyPorts ports;
        ports.add(1);
        QProcess child;
        ChildOptions inShare;
        inShare.folder = share.path();
        if (!startKeyedChild(child, ports, {tone, QStringLiteral("dialog")}, inShare)) {
            endChild(child);
            continue;
        }
        QFile(freeze).open(QIODevice::WriteOnly);
        QThread::msleep(500);
        const qint64 t0 = nowNs();
        child.terminate();
        const qint64 low = rtsLowOrHangUp(ports, 1, t0, 1000);
        if (low >= 0)
            term.push_back(double(low - t0) / 1e6);
        endChild(child);
        QFile::remove(freeze);
    }
    QDir::setCurrent(oldDir);
    qunsetenv("V9_SHARE_DIR");
    qunsetenv("V9_SHARE_FREEZE");
    add(QStringLiteral("ΔΙΑΚΟΠΗ to RTS low, dialog stalled"), stop, QStringLiteral("ms"), QStringLiteral("< 5 ms"));
    add(QStringLiteral("SIGTERM to RTS low, dialog stalled"), term, QStringLiteral("ms"), QStringLiteral("< 5 ms"));
}

// The program killed outright while a reader of its is stuck on a share that stopped
// answering: from SIGKILL to the port's hang-up, seen at the pty's master.
void benchKilledWithAStuckReader(const QString &tone)
{
    if (!qEnvironmentVariable("LD_PRELOAD").contains(QStringLiteral("v9stallshim")))
        return;
    const QString stalled = stalledCopy(tone);
    std::vector<double> ms;
    for (int i = 0; i < 10 && !stalled.isEmpty(); ++i) {
        PtyPorts ports;
        ports.add(1);
        QProcess child;
        if (!startKeyedChild(child, ports, {stalled}))
            continue;
        Hold hold(Condition::DiskStalled);
        QThread::msleep(700); // what was read ahead plays out; the reader waits on the disk
        const qint64 t0 = nowNs();
        ::kill(pid_t(child.processId()), SIGKILL);
        if (ports.hungUp(1, 5000))
            ms.push_back(double(nowNs() - t0) / 1e6);
        child.waitForFinished(5000);
    }
    add(QStringLiteral("SIGKILL to port hang-up, reader stuck"), ms, QStringLiteral("ms"), QStringLiteral("< 5 ms"));
}

void benchSigterm(const QString &tone, Condition condition)
{
    if (!qEnvironmentVariable("LD_PRELOAD").contains(QStringLiteral("v9modemshim")))
        return;
    const QString file = condition == Condition::DiskStalled ? stalledCopy(tone) : tone;
    std::vector<double> ms;
    for (int i = 0; i < 10 && !file.isEmpty(); ++i) {
        PtyPorts ports;
        ports.add(1);
        QProcess child;
        if (!startKeyedChild(child, ports, {file}))
            continue;
        QThread::msleep(300); // on air for a moment, as an operator would be
        Hold hold(condition);
        if (!hold.possible())
            break;
        QThread::msleep(100);
        const qint64 t0 = nowNs();
        child.terminate();
        const qint64 low = rtsLowOrHangUp(ports, 1, t0, 1000);
        if (low >= 0)
            ms.push_back(double(low - t0) / 1e6);
        if (!child.waitForFinished(5000))
            child.kill();
        child.waitForFinished();
    }
    add(QStringLiteral("SIGTERM to RTS low") + conditionName(condition), ms, QStringLiteral("ms"), QStringLiteral("< 1 ms"));
}

// The program's own pieces, keyed on COM1, until a signal closes the window. Keying
// answers through the application's loop, the only one here: "keyed" is said once the
// lamp shows, that is once RTS is high, and "unkeyed" if it never does.
int keyedChild(int argc, char **argv)
{
    QApplication app(argc, argv);
    Station station;
    Form1 &window = station.window;
    window.show();
    window.Text1->setText(QString::fromLocal8Bit(argv[2]));
    window.cmdPlayTr->click();
    // With "dialog": the file dialog opened on air, in the folder the child runs in.
    const bool dialog = argc >= 4 && qstrcmp(argv[3], "dialog") == 0;
    QElapsedTimer clock;
    clock.start();
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &window, [&] {
        if (!onAir(window) && clock.elapsed() < 10000)
            return;
        watch.stop();
        std::printf(onAir(window) ? "keyed\n" : "unkeyed\n");
        std::fflush(stdout);
        if (dialog)
            window.cmdWav->trigger();
    });
    watch.start(1);
    return app.exec();
}

// The port's helper this process started, found among its children by name; 0 if none
// runs.
pid_t portHelper()
{
    const QByteArray parent = QByteArray::number(qint64(::getpid()));
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (comm) state ppid ...": the name may hold spaces, what follows it does not.
        const QByteArray line = stat.readAll();
        const qsizetype close = line.lastIndexOf(')');
        const QList<QByteArray> rest = line.mid(close + 2).split(' ');
        if (line.contains("(vendrel9-port)") && rest.size() > 1 && rest[0] != "Z" && rest[1] == parent)
            return pid_t(entry.toLongLong());
    }
    return 0;
}

// Stops a process and waits until every thread of it has stopped: a thread still on its
// way out of a poll() could yet answer. False if that did not come within a second.
bool stopAll(pid_t pid)
{
    ::kill(pid, SIGSTOP);
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 1000) {
        bool all = true;
        for (const QString &task : QDir(QStringLiteral("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile stat(QStringLiteral("/proc/%1/task/%2/stat").arg(pid).arg(task));
            if (!stat.open(QIODevice::ReadOnly))
                continue;
            const QByteArray line = stat.readAll();
            const qsizetype at = line.lastIndexOf(')') + 2;
            const char state = at < line.size() ? line.at(at) : '?';
            all = all && (state == 'T' || state == 't');
        }
        if (all)
            return true;
        QThread::usleep(100);
    }
    return false;
}

// Keyed, the port's helper stopped (SIGSTOP), then ΔΙΑΚΟΠΗ: the drop is not acknowledged,
// the helper is killed at the drop's deadline and the kernel's hang-up drops RTS.
void benchHelperStopped(const QString &tone)
{
    const QString figure = QStringLiteral("ΔΙΑΚΟΠΗ to RTS low, port helper stopped");
    const QString target = QStringLiteral("< %1 ms").arg(unkey::kDropDeadlineMs + 5);
    if (!qEnvironmentVariable("LD_PRELOAD").contains(QStringLiteral("v9modemshim"))) {
        add(figure, {}, QString(), QStringLiteral("needs the shim"));
        return;
    }
    KeyedRig rig(tone);
    std::vector<double> ms;
    int rounds = 0, told = 0;
    for (int i = 0; i < 10; ++i) {
        const pid_t helper = clickToKeyed(rig.form, rig.ports) >= 0 ? portHelper() : 0;
        if (helper > 0) {
            pump(50);
            closeNotices();
            if (!stopAll(helper))
                std::fprintf(stderr, "note: the port's helper did not stop\n");
            const qint64 t0 = nowNs();
            rig.form.cmdStop->click();
            const qint64 low = rtsLowOrHangUp(rig.ports, 1, t0, 2000);
            if (low >= 0)
                ms.push_back(double(low - t0) / 1e6);
            else
                ::kill(helper, SIGCONT); // not killed, so not reaped: its pid is still its own
            ++rounds;
            // What the window says of it.
            if (loopUntil([] { return closeNotices() > 0; }, 1000))
                ++told;
        }
        rig.form.cmdStop->click();
        pump(50);
        closeNotices();
        QFile::remove(rig.ports.dir() + QStringLiteral("/rts.log"));
        rig.form.MMControl1->button(MediaBar::Start)->click();
    }
    add(figure, ms, QStringLiteral("ms"), target);
    add(QStringLiteral("  runs the operator was told the port closed"), {double(told)}, QString(),
        QString::number(rounds));
}

// How long COM1's RTS was high in one stretch at most since t0, in ms, counting a
// stretch not yet ended up to now; and how many times it rose.
struct Raises
{
    int count = 0;
    double longestMs = 0;
};

Raises raisesSince(const PtyPorts &ports, qint64 t0)
{
    Raises raises;
    qint64 up = -1;
    for (const QString &line : ports.rtsLog()) {
        const qint64 t = line.section(QLatin1Char(' '), 2).toLongLong();
        if (!line.startsWith(QStringLiteral("ttyS0 ")) || t < t0)
            continue;
        if (line.section(QLatin1Char(' '), 1, 1) == QStringLiteral("1")) {
            ++raises.count;
            up = up < 0 ? t : up;
        } else if (up >= 0) {
            raises.longestMs = std::max(raises.longestMs, double(t - up) / 1e6);
            up = -1;
        }
    }
    if (up >= 0)
        raises.longestMs = std::max(raises.longestMs, double(nowNs() - up) / 1e6);
    return raises;
}

// A click on ΑΝΑΠΑΡΑΓΩΓΗ+ΕΚΠΟΜΠΗ while the port's open hangs (a wedged adapter), ΔΙΑΚΟΠΗ
// 200 ms later, then the open let through: the attempt was called off and must never
// key, whenever the open comes back. An open that gets through raises RTS and DTR in the
// kernel for as long as the helper takes to drop them: that pulse counts as RTS risen,
// and a second raise, or RTS left high, as keyed.
void benchStalledOpen(const QString &tone)
{
    const QString figure = QStringLiteral("click during a stalled open, then ΔΙΑΚΟΠΗ: runs RTS rose");
    if (!qEnvironmentVariable("LD_PRELOAD").contains(QStringLiteral("v9modemshim"))) {
        add(figure, {}, QString(), QStringLiteral("needs the shim"));
        return;
    }
    KeyedRig rig(tone);
    std::vector<double> handler, high;
    int rose = 0, keyed = 0, idle = 0;
    for (int i = 0; i < 10; ++i) {
        rig.ports.setFault(1, "stall", true);
        const qint64 t0 = nowNs();
        rig.form.cmdPlayTr->click();
        loopFor(200);
        const qint64 t1 = nowNs();
        rig.form.cmdStop->click();
        handler.push_back(double(nowNs() - t1) / 1000.0);
        rig.ports.setFault(1, "stall", false);
        loopFor(1000);
        const Raises raises = raisesSince(rig.ports, t0);
        if (raises.count > 0) {
            ++rose;
            high.push_back(raises.longestMs);
        }
        if (raises.count > 1 || rig.ports.rts(1) == 1)
            ++keyed;
        if (!onAir(rig.form) && !rig.form.cmdPlayTr->isHidden())
            ++idle;
        closeNotices();
        QFile::remove(rig.ports.dir() + QStringLiteral("/rts.log"));
        rig.form.MMControl1->button(MediaBar::Start)->click();
    }
    const QString runs = QString::number(handler.size());
    add(figure, {double(rose)}, QString(), QStringLiteral("0 of ") + runs);
    add(QStringLiteral("  RTS high, longest stretch"), high, QStringLiteral("ms"), QString());
    add(QStringLiteral("  runs keyed"), {double(keyed)}, QString(), QStringLiteral("0"));
    add(QStringLiteral("  runs back to idle"), {double(idle)}, QString(), runs);
    add(QStringLiteral("  ΔΙΑΚΟΠΗ's handler"), handler, QStringLiteral("us"), QStringLiteral("< 1000 us"));
}

// An X server of the benchmark's own, to be stopped and let go on.
class PrivateDisplay
{
public:
    PrivateDisplay()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty())
            return;
        // Xvfb picks a free display itself and prints its number.
        m_xvfb.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                                              QStringLiteral("0"), QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"),
                                              QStringLiteral("tcp")});
        if (!m_xvfb.waitForStarted())
            return;
        QElapsedTimer clock;
        clock.start();
        while (!m_xvfb.canReadLine() && m_xvfb.state() == QProcess::Running && clock.elapsed() < 10000)
            m_xvfb.waitForReadyRead(100);
        const QByteArray number = m_xvfb.readLine().trimmed();
        if (!number.isEmpty())
            m_name = QStringLiteral(":") + QString::fromLatin1(number);
    }
    ~PrivateDisplay()
    {
        if (m_xvfb.state() == QProcess::NotRunning)
            return;
        resume();
        m_xvfb.terminate();
        if (!m_xvfb.waitForFinished(5000))
            m_xvfb.kill();
        m_xvfb.waitForFinished();
    }
    QString name() const { return m_name; }
    void stop() { ::kill(pid_t(m_xvfb.processId()), SIGSTOP); }
    void resume() { ::kill(pid_t(m_xvfb.processId()), SIGCONT); }

private:
    QProcess m_xvfb;
    QString m_name;
};

// Keyed children ended by a signal while something else is held: the X server stopped
// (SIGSTOP), so the window's thread waits on the display; or SIGINT to the child's whole
// process group, as a terminal's Ctrl+C sends it to the program and its helpers alike.
// From the signal to RTS low.
void benchSignalsHeldElsewhere(const QString &tone)
{
    const QString stopped = QStringLiteral("SIGTERM to RTS low, display stopped");
    const QString group = QStringLiteral("SIGINT to the process group to RTS low");
    if (!qEnvironmentVariable("LD_PRELOAD").contains(QStringLiteral("v9modemshim"))) {
        add(stopped, {}, QString(), QStringLiteral("needs the shim"));
        add(group, {}, QString(), QStringLiteral("needs the shim"));
        return;
    }
    std::vector<double> term, interrupt;
    {
        PrivateDisplay display;
        for (int i = 0; i < 10 && !display.name().isEmpty(); ++i) {
            PtyPorts ports;
            ports.add(1);
            QProcess child;
            ChildOptions onX;
            onX.environment = {QStringLiteral("QT_QPA_PLATFORM=xcb"), QStringLiteral("DISPLAY=") + display.name()};
            if (startKeyedChild(child, ports, {tone}, onX)) {
                QThread::msleep(300);
                display.stop();
                QThread::msleep(300); // the window goes on drawing until its writes to the display wait
                const qint64 t0 = nowNs();
                child.terminate();
                const qint64 low = rtsLowOrHangUp(ports, 1, t0, 1000);
                if (low >= 0)
                    term.push_back(double(low - t0) / 1e6);
                else
                    std::fprintf(stderr, "note: display stopped: RTS not low within 1 s\n");
            } else {
                std::fprintf(stderr, "note: display stopped: the child did not key\n");
            }
            display.resume();
            endChild(child);
        }
        if (display.name().isEmpty())
            add(stopped, {}, QString(), QStringLiteral("needs Xvfb"));
        else
            add(stopped, term, QStringLiteral("ms"), QStringLiteral("< 1 ms"));
    }
    for (int i = 0; i < 10; ++i) {
        PtyPorts ports;
        ports.add(1);
        QProcess child;
        ChildOptions ownGroup;
        ownGroup.ownProcessGroup = true;
        if (startKeyedChild(child, ports, {tone}, ownGroup)) {
            QThread::msleep(300);
            const qint64 t0 = nowNs();
            // The child leads its group; were it not, there would be no such group to hit.
            ::kill(-pid_t(child.processId()), SIGINT);
            const qint64 low = rtsLowOrHangUp(ports, 1, t0, 1000);
            if (low >= 0)
                interrupt.push_back(double(low - t0) / 1e6);
            else
                std::fprintf(stderr, "note: SIGINT to the group: RTS not low within 1 s\n");
        } else {
            std::fprintf(stderr, "note: SIGINT to the group: the child did not key\n");
        }
        endChild(child);
    }
    add(group, interrupt, QStringLiteral("ms"), QStringLiteral("< 1 ms"));
}

// Process start to the first paint of the window; with --reference, a bare label window.
int startupChild(int argc, char **argv, bool reference)
{
    QApplication app(argc, argv);
    struct PaintWatch : QObject
    {
        bool eventFilter(QObject *, QEvent *event) override
        {
            if (event->type() == QEvent::Paint) {
                std::printf("%lld\n", static_cast<long long>(nowNs()));
                std::fflush(stdout);
                QTimer::singleShot(0, qApp, &QCoreApplication::quit);
            }
            return false;
        }
    } watch;
    if (reference) {
        QLabel label(QStringLiteral("Vendrel9"));
        label.installEventFilter(&watch);
        label.show();
        return app.exec();
    }
    Station station;
    Form1 &window = station.window;
    window.centralWidget()->installEventFilter(&watch);
    window.show();
    return app.exec();
}

void benchStartup()
{
    std::vector<double> program, reference;
    for (int i = 0; i < 15; ++i) {
        for (const bool ref : {false, true}) {
            QProcess child;
            QStringList env = QProcess::systemEnvironment();
            env << QStringLiteral("QT_QPA_PLATFORM=offscreen");
            child.setEnvironment(env);
            const qint64 t0 = nowNs();
            child.start(QCoreApplication::applicationFilePath(),
                        {ref ? QStringLiteral("--startup-reference") : QStringLiteral("--startup-child")});
            child.waitForFinished(10000);
            const qint64 painted = child.readAllStandardOutput().trimmed().toLongLong();
            if (painted > t0)
                (ref ? reference : program).push_back(double(painted - t0) / 1e6);
        }
    }
    add(QStringLiteral("start-up to first paint (offscreen)"), program, QStringLiteral("ms"), QString());
    add(QStringLiteral("  reference: bare Qt Widgets window"), reference, QStringLiteral("ms"), QString());
    if (!program.empty() && !reference.empty()) {
        std::sort(program.begin(), program.end());
        std::sort(reference.begin(), reference.end());
        add(QStringLiteral("  ratio of medians"), {program[program.size() / 2] / reference[reference.size() / 2]},
            QStringLiteral("x"), QStringLiteral("< 1.5"));
    }
}

// The null sink's monitor read as it comes, to see when sound leaves the sink.
class MonitorTap
{
public:
    MonitorTap()
    {
        m_parec.start(QStringLiteral("parec"),
                      {QStringLiteral("--raw"), QStringLiteral("--format=float32le"), QStringLiteral("--rate=48000"),
                       QStringLiteral("--channels=1"), QStringLiteral("--latency-msec=5"), QStringLiteral("-d"),
                       qEnvironmentVariable("V9_MONITOR")});
        m_parec.waitForStarted();
        quiet(400);
    }
    ~MonitorTap()
    {
        m_parec.kill();
        m_parec.waitForFinished();
    }
    // Reads and drops what comes for at least ms, and until 200 ms have passed without a
    // loud sample: the last run's sound must be gone before the next is timed.
    void quiet(int ms)
    {
        const qint64 start = nowNs();
        qint64 lastLoud = start;
        while (nowNs() - start < 5000000000LL) {
            m_parec.waitForReadyRead(5);
            if (loud(m_parec.readAll()))
                lastLoud = nowNs();
            if (nowNs() - start >= qint64(ms) * 1000000 && nowNs() - lastLoud >= 200000000LL)
                break;
        }
        m_pending.clear();
    }
    static bool loud(const QByteArray &bytes)
    {
        std::vector<float> samples;
        samples.resize(size_t(bytes.size()) / sizeof(float));
        std::memcpy(samples.data(), bytes.constData(), samples.size() * sizeof(float));
        return std::any_of(samples.begin(), samples.end(), [](float sample) { return qAbs(sample) > 0.1f; });
    }
    // When the first loud sample came out of the sink, by this process's clock; -1 if none.
    // The window's events go on meanwhile: keying answers through them.
    qint64 firstLoud(int ms)
    {
        const qint64 end = nowNs() + qint64(ms) * 1000000;
        while (nowNs() < end) {
            QCoreApplication::processEvents();
            m_parec.waitForReadyRead(1);
            m_pending += m_parec.readAll();
            const qsizetype whole = m_pending.size() / qsizetype(sizeof(float)) * qsizetype(sizeof(float));
            if (loud(m_pending.left(whole)))
                return nowNs();
            m_pending.remove(0, whole);
        }
        return -1;
    }

private:
    QProcess m_parec;
    QByteArray m_pending;
};

// On air: from RTS high, as the shim saw it, to the first sample out of the sink.
std::vector<double> firstSoundOnAir(MonitorTap &tap, const QString &tone)
{
    std::vector<double> onAir;
    if (!qEnvironmentVariable("LD_PRELOAD").contains(QStringLiteral("v9modemshim")))
        return onAir;
    KeyedRig rig(tone);
    PtyPorts &ports = rig.ports;
    Form1 &form = rig.form;
    for (int i = 0; i < 20; ++i) {
        form.MMControl1->button(MediaBar::Start)->click();
        pump(20);
        tap.quiet(150);
        const qint64 t0 = nowNs();
        form.cmdPlayTr->click();
        const qint64 heard = tap.firstLoud(2000);
        const qint64 high = lastRaise(ports, t0);
        if (heard > 0 && high > 0)
            onAir.push_back(double(heard - high) / 1e6);
        form.cmdStop->click();
        QFile::remove(ports.dir() + QStringLiteral("/rts.log"));
        pump(30);
    }
    return onAir;
}

// A message whose loudness moves like speech, swelling 2.3 times a second between -21 and
// -3 dBFS, so the bar's level changes at every redraw. 48 kHz mono 16-bit.
QString swellingFile(const QTemporaryDir &dir, const char *name, double seconds)
{
    const QString path = dir.filePath(QString::fromLatin1(name));
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    const quint32 frames = quint32(seconds * 48000);
    file.write(wavtools::wavHeader(frames * 2, 1, 48000));
    QByteArray data(int(frames * 2), 0);
    auto *samples = reinterpret_cast<qint16 *>(data.data());
    for (quint32 i = 0; i < frames; ++i) {
        const double t = double(i) / 48000;
        const double amplitude = 0.4 + 0.3 * std::sin(2 * M_PI * 2.3 * t);
        samples[i] = qint16(32767 * amplitude * std::sin(2 * M_PI * 300 * t));
    }
    file.write(data);
    return path;
}

// Plays the file in a fresh process beside an idle window; its figures, or none.
QList<QByteArray> playInAChild(const QString &path, int seconds)
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--play-child"), path, QString::number(seconds)});
    child.waitForFinished((seconds + 30) * 1000);
    const QList<QByteArray> figures = child.readAllStandardOutput().trimmed().split(' ');
    return figures.size() == 4 ? figures : QList<QByteArray>();
}

void benchSound(const QTemporaryDir &dir, const QString &tone)
{
    if (qEnvironmentVariableIsEmpty("PULSE_SERVER")) {
        add(QStringLiteral("Play to first sample out of the sink"), {}, QString(), QStringLiteral("needs sound server"));
        return;
    }
    std::vector<double> ours, paplayed, reference, onAir;
    {
        MonitorTap tap;
        WaveDevice device;
        device.open(tone);
        devicetools::settled(device);
        for (int i = 0; i < 20; ++i) {
            device.rewind();
            pump(20);
            tap.quiet(150);
            const qint64 t0 = nowNs();
            device.play(IAudioDevice::Output::Desk);
            const qint64 heard = tap.firstLoud(2000);
            if (heard > 0)
                ours.push_back(double(heard - t0) / 1e6);
            device.stop();
            pump(30);
        }
        // The reference the operator would reach for: paplay --latency-msec=20 of the same
        // file, from its start, as a new client like the program's own first play.
        for (int i = 0; i < 20; ++i) {
            tap.quiet(300);
            QProcess paplay;
            const qint64 t0 = nowNs();
            paplay.start(QStringLiteral("paplay"), {QStringLiteral("--latency-msec=20"), tone});
            const qint64 heard = tap.firstLoud(2000);
            if (heard > 0)
                paplayed.push_back(double(heard - t0) / 1e6);
            paplay.kill();
            paplay.waitForFinished();
        }
        // A stricter one: pacat (the program behind paplay) with paplay's 20 ms, connected
        // and waiting beforehand, handed the same audio at once.
        QFile file(tone);
        file.open(QIODevice::ReadOnly);
        // A fifth of a second: less than a pipe holds, so the write does not wait.
        const QByteArray audio = file.readAll().mid(44, 48000 * 4 / 5);
        for (int i = 0; i < 20; ++i) {
            QProcess pacat;
            pacat.start(QStringLiteral("pacat"), {QStringLiteral("--playback"), QStringLiteral("--latency-msec=20"),
                                                  QStringLiteral("--raw"), QStringLiteral("--format=s16le"),
                                                  QStringLiteral("--rate=48000"), QStringLiteral("--channels=2")});
            pacat.waitForStarted();
            tap.quiet(300);
            const qint64 t0 = nowNs();
            pacat.write(audio);
            pacat.waitForBytesWritten(1000);
            const qint64 heard = tap.firstLoud(2000);
            if (heard > 0)
                reference.push_back(double(heard - t0) / 1e6);
            pacat.kill();
            pacat.waitForFinished();
        }
        onAir = firstSoundOnAir(tap, tone);
    }
    add(QStringLiteral("Play to first sample out of the sink"), ours, QStringLiteral("ms"), QStringLiteral("< 60 ms"));
    const auto median = [](std::vector<double> values) {
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    add(QStringLiteral("  reference: paplay --latency-msec=20"), paplayed, QStringLiteral("ms"), QString());
    if (!ours.empty() && !paplayed.empty())
        add(QStringLiteral("  ratio of medians"), {median(ours) / median(paplayed)}, QStringLiteral("x"), QStringLiteral("< 1.5"));
    add(QStringLiteral("  reference: pacat, connected beforehand"), reference, QStringLiteral("ms"), QString());
    if (!ours.empty() && !reference.empty())
        add(QStringLiteral("  ratio of medians"), {median(ours) / median(reference)}, QStringLiteral("x"), QString());
    add(QStringLiteral("RTS high to first sample out of the sink (PulseAudio)"), onAir, QStringLiteral("ms"), QStringLiteral("< 60 ms"));

    // What playing a 4 GB file costs beside an idle window, in a fresh process so that
    // nothing measured before is counted.
    const QString big = sparseWav(dir, "play4g.wav", 0xFFFFFF00u);
    const int seconds = qEnvironmentVariableIntValue("V9_BENCH_PLAY_SECONDS") > 0
                            ? qEnvironmentVariableIntValue("V9_BENCH_PLAY_SECONDS")
                            : 30;
    const QList<QByteArray> figures = playInAChild(big, seconds);
    if (figures.isEmpty())
        return;
    add(QStringLiteral("resident memory, idle window"), {figures[0].toDouble() / 1024.0}, QStringLiteral("MB"), QString());
    add(QStringLiteral("memory added playing 4 GB file (%1 s)").arg(seconds), {figures[1].toDouble() / 1024.0},
        QStringLiteral("MB"), QStringLiteral("< 20 MB"));
    add(QStringLiteral("CPU while playing (%1 s), share of a core").arg(seconds), {figures[2].toDouble()},
        QStringLiteral("%"), QStringLiteral("< 3 %"));
    // The same with a level that moves: the big file is silence, whose level never
    // changes. Counted only if the bar was seen to show the level changing.
    const QList<QByteArray> swelling = playInAChild(swellingFile(dir, "swelling.wav", seconds + 5), seconds);
    const bool shown = !swelling.isEmpty() && swelling[3].toInt() >= seconds;
    add(QStringLiteral("CPU while playing, level shown (%1 s)").arg(seconds),
        shown ? std::vector<double> {swelling[2].toDouble()} : std::vector<double> {}, QStringLiteral("%"),
        QStringLiteral("< 3 %"));

    const int recordSeconds = qEnvironmentVariableIntValue("V9_BENCH_RECORD_SECONDS") > 0
                                  ? qEnvironmentVariableIntValue("V9_BENCH_RECORD_SECONDS")
                                  : 120;
    QProcess recorder;
    recorder.start(QCoreApplication::applicationFilePath(),
                   {QStringLiteral("--record-child"), dir.filePath(QStringLiteral("recorded.wav")),
                    QString::number(recordSeconds)});
    recorder.waitForFinished((recordSeconds + 30) * 1000);
    const QList<QByteArray> recorded = recorder.readAllStandardOutput().trimmed().split(' ');
    if (recorded.size() == 3)
        add(QStringLiteral("memory added recording %1 s").arg(recordSeconds), {recorded[1].toDouble() / 1024.0},
            QStringLiteral("MB"), QStringLiteral("< 5 MB"));
}

// A sine of that many seconds, 1 kHz at half scale, 48 kHz mono 16-bit.
QString sineFile(const QTemporaryDir &dir, const char *name, double seconds)
{
    const QString path = dir.filePath(QString::fromLatin1(name));
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    const quint32 frames = quint32(seconds * 48000);
    file.write(wavtools::wavHeader(frames * 2, 1, 48000));
    QByteArray data(int(frames * 2), 0);
    auto *samples = reinterpret_cast<qint16 *>(data.data());
    for (quint32 i = 0; i < frames; ++i)
        samples[i] = qint16(16000 * std::sin(2 * M_PI * 1000 * double(i) / 48000));
    file.write(data);
    return path;
}

// The sink's monitor, all of it, while the object lives.
class MonitorTape
{
public:
    MonitorTape()
    {
        m_parec.start(QStringLiteral("parec"),
                      {QStringLiteral("--raw"), QStringLiteral("--format=float32le"), QStringLiteral("--rate=48000"),
                       QStringLiteral("--channels=1"), QStringLiteral("--latency-msec=20"), QStringLiteral("-d"),
                       qEnvironmentVariable("V9_MONITOR")});
        m_parec.waitForStarted();
        m_parec.waitForReadyRead(5000);
    }
    std::vector<float> stop()
    {
        m_parec.terminate();
        m_parec.waitForFinished(3000);
        const QByteArray raw = m_parec.readAllStandardOutput();
        std::vector<float> samples(size_t(raw.size()) / sizeof(float));
        std::memcpy(samples.data(), raw.constData(), samples.size() * sizeof(float));
        return samples;
    }

private:
    QProcess m_parec;
};

// A busy machine, as a logger and an SDR program make it: a hog on every core.
class CpuHogs
{
public:
    CpuHogs()
    {
        for (long i = 0; i < sysconf(_SC_NPROCESSORS_ONLN); ++i) {
            auto *hog = new QProcess;
            hog->setStandardOutputFile(QProcess::nullDevice());
            hog->start(QStringLiteral("yes"), {});
            m_hogs.push_back(hog);
        }
    }
    ~CpuHogs()
    {
        for (QProcess *hog : m_hogs) {
            hog->kill();
            hog->waitForFinished();
            delete hog;
        }
    }

private:
    std::vector<QProcess *> m_hogs;
};

// What was heard of a tone at the sink: the gaps in it (2 ms or more of silence between
// its first and last loud sample), the longest, and the seconds from first to last.
struct Gaps
{
    int count = 0;
    double longestMs = 0;
    double spanS = 0;
};

Gaps gapsIn(const std::vector<float> &heard)
{
    qsizetype first = -1, last = -1;
    for (qsizetype i = 0; i < qsizetype(heard.size()); ++i) {
        if (qAbs(heard[size_t(i)]) > 0.2f) {
            if (first < 0)
                first = i;
            last = i;
        }
    }
    Gaps gaps;
    for (qsizetype i = first, quiet = 0; first >= 0 && i <= last; ++i) {
        if (qAbs(heard[size_t(i)]) < 0.1f) {
            ++quiet;
        } else {
            if (quiet >= 96) {
                ++gaps.count;
                gaps.longestMs = std::max(gaps.longestMs, double(quiet) / 48.0);
            }
            quiet = 0;
        }
    }
    gaps.spanS = first >= 0 ? double(last - first + 1) / 48000 : 0;
    return gaps;
}

// The message on air for a while with every core busy, as it leaves the sink, and the
// underruns the server reports for its stream. The reference is paplay with the same
// 20 ms buffer, under the same load and heard the same way: gaps it shows too are the
// server's or the monitor's, not the program's.
void benchUnderLoad(const QTemporaryDir &dir, const QString &server)
{
    const int seconds = qEnvironmentVariableIntValue("V9_BENCH_LOAD_SECONDS") > 0
                            ? qEnvironmentVariableIntValue("V9_BENCH_LOAD_SECONDS")
                            : 30;
    const QString tone = sineFile(dir, "load.wav", seconds);
    std::vector<float> heard, reference;
    int underruns = 0;
    {
        CpuHogs hogs;
        {
            MonitorTape tape;
            WaveDevice device;
            device.open(tone);
            devicetools::settled(device);
            device.play(IAudioDevice::Output::Air);
            QElapsedTimer clock;
            clock.start();
            while (device.mode() != IAudioDevice::Mode::Stopped && clock.elapsed() < (seconds + 20) * 1000)
                pump(20);
            underruns = device.underruns();
            pump(200);
            heard = tape.stop();
        }
        MonitorTape tape;
        QProcess paplay;
        paplay.start(QStringLiteral("paplay"), {QStringLiteral("--latency-msec=20"), tone});
        QElapsedTimer clock;
        clock.start();
        while (paplay.state() != QProcess::NotRunning && clock.elapsed() < (seconds + 20) * 1000)
            pump(20);
        paplay.kill();
        paplay.waitForFinished();
        pump(200);
        reference = tape.stop();
    }
    const Gaps ours = gapsIn(heard);
    const Gaps theirs = gapsIn(reference);
    const QString load = QStringLiteral(" (%1 s, %2 hogs, %3)").arg(seconds).arg(sysconf(_SC_NPROCESSORS_ONLN)).arg(server);
    add(QStringLiteral("gaps in the tone at the sink") + load, {double(ours.count)}, QString(), QStringLiteral("0"));
    add(QStringLiteral("  longest gap"), {ours.longestMs}, QStringLiteral("ms"), QString());
    add(QStringLiteral("  underruns the server reported"), {double(underruns)}, QString(), QStringLiteral("0"));
    add(QStringLiteral("  tone heard, of %1 s").arg(seconds), {ours.spanS}, QStringLiteral("s"), QString());
    add(QStringLiteral("  reference: paplay --latency-msec=20, gaps"), {double(theirs.count)}, QString(), QString());
    add(QStringLiteral("  reference: longest gap"), {theirs.longestMs}, QStringLiteral("ms"), QString());
}

// How soon the device shows a short message's end: from Play to Stopped.
void benchEndOfMessage(const QTemporaryDir &dir, const QString &server)
{
    const QString tone = sineFile(dir, "short.wav", 0.1);
    std::vector<double> ms;
    WaveDevice device;
    device.open(tone);
    devicetools::settled(device);
    for (int i = 0; i < 10; ++i) {
        device.rewind();
        pump(50);
        const qint64 t0 = nowNs();
        device.play(IAudioDevice::Output::Desk);
        while (device.mode() != IAudioDevice::Mode::Stopped && nowNs() - t0 < 5000000000LL)
            pump(1);
        ms.push_back(double(nowNs() - t0) / 1e6);
    }
    add(QStringLiteral("100 ms message, Play to Stopped (%1)").arg(server), ms, QStringLiteral("ms"), QString());
}

// Records into a new message beside an idle window for a while and prints: idle RSS (kB)
// and the RSS added at the peak (kB).
int recordChild(int argc, char **argv)
{
    QApplication app(argc, argv);
    Station station;
    station.window.show();
    pump(300);
    const qint64 idle = rssKb();
    station.window.Text1->setText(QString::fromLocal8Bit(argv[2]));
    station.device.record();
    for (int i = 0; i < 400 && station.device.mode() != IAudioDevice::Mode::Recording; ++i)
        pump(5);
    if (station.device.mode() != IAudioDevice::Mode::Recording)
        return 1;
    qint64 peak = idle;
    QEventLoop loop;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&peak] { peak = std::max(peak, rssKb()); });
    sampler.start(500);
    QTimer::singleShot(std::atoi(argv[3]) * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    station.device.stop();
    peak = std::max(peak, rssKb());
    std::printf("%lld %lld %lld\n", static_cast<long long>(idle), static_cast<long long>(peak - idle),
                static_cast<long long>(station.device.length()));
    return 0;
}

// Opens a file beside an idle window, plays it for a while in a real event loop and
// prints: idle RSS (kB), RSS added at the peak (kB), CPU share of one core (%), and how
// many times the bar's level was seen to have changed (looked at twice a second).
int playChild(int argc, char **argv)
{
    QApplication app(argc, argv);
    Station station;
    Form1 &window = station.window;
    WaveDevice &device = station.device;
    window.show();
    pump(300);
    const qint64 idle = rssKb();
    window.Text1->setText(QString::fromLocal8Bit(argv[2]));
    const int seconds = std::atoi(argv[3]);
    const double cpu0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    device.play(IAudioDevice::Output::Desk);
    qint64 peak = idle;
    int levelChanges = 0;
    QString level;
    QEventLoop loop;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        peak = std::max(peak, rssKb());
        const QString shown = window.MMControl1->levelText();
        if (!shown.isEmpty() && shown != level)
            ++levelChanges;
        level = shown;
    });
    sampler.start(500);
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    const double share = 100.0 * (cpuSeconds() - cpu0) / (double(wall.elapsed()) / 1000.0);
    device.stop();
    std::printf("%lld %lld %.3f %d\n", static_cast<long long>(idle), static_cast<long long>(peak - idle), share,
                levelChanges);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 3 && qstrcmp(argv[1], "--keyed-child") == 0)
        return keyedChild(argc, argv);
    if (argc >= 2 && qstrcmp(argv[1], "--startup-child") == 0)
        return startupChild(argc, argv, false);
    if (argc >= 4 && qstrcmp(argv[1], "--record-child") == 0)
        return recordChild(argc, argv);
    if (argc >= 4 && qstrcmp(argv[1], "--play-child") == 0)
        return playChild(argc, argv);
    if (argc >= 2 && qstrcmp(argv[1], "--startup-reference") == 0)
        return startupChild(argc, argv, true);

    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // A box that waits for its OK, offscreen where nobody clicks, would hold every figure
    // after it: it is said and closed.
    QTimer boxes;
    QObject::connect(&boxes, &QTimer::timeout, [] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            std::fprintf(stderr, "note: a box waited for OK: %s\n", qPrintable(box->text()));
            box->reject();
        }
    });
    boxes.start(500);
    QTemporaryDir dir;
    // The second sound server's own figures: the sound on air, under load, at its end.
    if (argc >= 3 && qstrcmp(argv[1], "--sound-pass") == 0) {
        const QString server = QString::fromLocal8Bit(argv[2]);
        if (!qEnvironmentVariableIsEmpty("PULSE_SERVER")) {
            const QString tone = sineFile(dir, "tone.wav", 5);
            {
                MonitorTap tap;
                add(QStringLiteral("RTS high to first sample out of the sink (%1)").arg(server), firstSoundOnAir(tap, tone),
                    QStringLiteral("ms"), QStringLiteral("< 60 ms"));
            }
            benchEndOfMessage(dir, server);
            benchUnderLoad(dir, server);
        }
        printTable();
        return 0;
    }
    const QString tone = dir.filePath(QStringLiteral("tone.wav"));
    {
        QFile file(tone);
        file.open(QIODevice::WriteOnly);
        const quint32 bytes = 48000 * 2 * 2 * 5;
        file.write(wavtools::wavHeader(bytes, 2, 48000));
        QByteArray data(int(bytes), 0);
        auto *samples = reinterpret_cast<qint16 *>(data.data());
        for (quint32 i = 0; i < bytes / 2; ++i)
            samples[i] = qint16(8000 * ((i / 2 / 24) % 2 ? 1 : -1)); // a 1 kHz square
        file.write(data);
    }
    std::printf("Vendrel9 benchmarks on %d cores; %s\n", int(sysconf(_SC_NPROCESSORS_ONLN)),
                qPrintable(QSysInfo::prettyProductName()));
    benchStartup();
    benchRebind(dir);
    for (const Condition condition : {Condition::Normal, Condition::ServerStopped, Condition::DiskStalled})
        benchKeying(tone, condition);
    for (const Condition condition : {Condition::Normal, Condition::ServerStopped, Condition::DiskStalled})
        benchSigterm(tone, condition);
    benchSignalsHeldElsewhere(tone);
    benchHelperStopped(tone);
    benchStalledOpen(tone);
    benchDialogStalled(tone);
    benchKilledWithAStuckReader(tone);
    benchSound(dir, tone);
    if (!qEnvironmentVariableIsEmpty("PULSE_SERVER")) {
        benchEndOfMessage(dir, QStringLiteral("PulseAudio"));
        benchUnderLoad(dir, QStringLiteral("PulseAudio"));
    }
    printTable();
    return 0;
}
