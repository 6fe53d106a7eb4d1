// Prints one table of the figures that matter to an operator: how fast the window comes
// up, how fast the path rebinds, how fast the radio keys and unkeys, how fast sound
// starts, and what playing costs. Real adapters throughout; the serial port is a pty
// under the modem-line shim, the sound the private server of scripts/pulse.sh.
#include "filebinding.h"
#include "form1.h"
#include "mediabar.h"
#include "ptyports.h"
#include "serialportadapter.h"
#include "station.h"
#include "wavedevice.h"
#include "wavtools.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QToolButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <ctime>
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
        while (rig.device.busy())
            pump(5);
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

qint64 rtsTime(const PtyPorts &ports, int com, int state, qint64 after)
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
        while (device.busy())
            pump(5);
    }
    PtyPorts ports;
    WaveDevice device;
    SerialPortAdapter serial;
    QtFileDialog dialog;
    QtMessageBox messages;
    Form1 form {device, serial, dialog, messages};
};

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
        qint64 t0 = nowNs();
        form.cmdPlayTr->click();
        const qint64 high = lastRaise(ports, t0);
        if (high >= 0)
            up.push_back(double(high - t0) / 1e6);
        pump(50);
        t0 = nowNs();
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
        QStringList env = ports.environment();
        env << QStringLiteral("QT_QPA_PLATFORM=offscreen");
        child.setEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--keyed-child"), file});
        if (!child.waitForReadyRead(10000))
            continue;
        child.readAll();
        QThread::msleep(300); // on air for a moment, as an operator would be
        Hold hold(condition);
        if (!hold.possible())
            break;
        QThread::msleep(100);
        const qint64 t0 = nowNs();
        child.terminate();
        qint64 low = -1;
        for (int wait = 0; wait < 500 && low < 0; ++wait) {
            low = rtsTime(ports, 1, 0, t0);
            if (low < 0)
                QThread::msleep(10);
        }
        if (low >= 0)
            ms.push_back(double(low - t0) / 1e6);
        if (!child.waitForFinished(5000))
            child.kill();
        child.waitForFinished();
    }
    add(QStringLiteral("SIGTERM to RTS low") + conditionName(condition), ms, QStringLiteral("ms"), QStringLiteral("< 1 ms"));
}

// The program's own pieces, keyed on COM1, until a signal closes the window.
int keyedChild(int argc, char **argv)
{
    QApplication app(argc, argv);
    Station station;
    Form1 &window = station.window;
    window.show();
    window.Text1->setText(QString::fromLocal8Bit(argv[2]));
    window.cmdPlayTr->click();
    std::printf("keyed\n");
    std::fflush(stdout);
    return app.exec();
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
    qint64 firstLoud(int ms)
    {
        const qint64 end = nowNs() + qint64(ms) * 1000000;
        while (nowNs() < end) {
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
        while (device.busy())
            pump(5);
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
        // On air: from RTS high, as the shim saw it, to the first sample out of the sink.
        if (qEnvironmentVariable("LD_PRELOAD").contains(QStringLiteral("v9modemshim"))) {
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
        }
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
    add(QStringLiteral("RTS high to first sample out of the sink"), onAir, QStringLiteral("ms"), QStringLiteral("< 60 ms"));

    // What playing a 4 GB file costs beside an idle window, in a fresh process so that
    // nothing measured before is counted.
    const QString big = sparseWav(dir, "play4g.wav", 0xFFFFFF00u);
    const int seconds = qEnvironmentVariableIntValue("V9_BENCH_PLAY_SECONDS") > 0
                            ? qEnvironmentVariableIntValue("V9_BENCH_PLAY_SECONDS")
                            : 30;
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--play-child"), big, QString::number(seconds)});
    child.waitForFinished((seconds + 30) * 1000);
    const QList<QByteArray> figures = child.readAllStandardOutput().trimmed().split(' ');
    if (figures.size() != 3)
        return;
    add(QStringLiteral("resident memory, idle window"), {figures[0].toDouble() / 1024.0}, QStringLiteral("MB"), QString());
    add(QStringLiteral("memory added playing 4 GB file (%1 s)").arg(seconds), {figures[1].toDouble() / 1024.0},
        QStringLiteral("MB"), QStringLiteral("< 20 MB"));
    add(QStringLiteral("CPU while playing (%1 s), share of a core").arg(seconds), {figures[2].toDouble()},
        QStringLiteral("%"), QStringLiteral("< 3 %"));

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
// prints: idle RSS (kB), RSS added at the peak (kB), CPU share of one core (%).
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
    QEventLoop loop;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&peak] { peak = std::max(peak, rssKb()); });
    sampler.start(500);
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    const double share = 100.0 * (cpuSeconds() - cpu0) / (double(wall.elapsed()) / 1000.0);
    device.stop();
    std::printf("%lld %lld %.3f\n", static_cast<long long>(idle), static_cast<long long>(peak - idle), share);
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
    QTemporaryDir dir;
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
    benchSound(dir, tone);
    printTable();
    return 0;
}
