// Prints one table of the figures that matter to an operator: how fast the window comes
// up, how fast the path rebinds, how fast the radio keys and unkeys, how fast sound
// starts, and what playing costs. Real adapters throughout; the serial port is a pty
// under the modem-line shim, the sound the private server of scripts/pulse.sh.
#include "filebinding.h"
#include "form1.h"
#include "mediabar.h"
#include "ptyports.h"
#include "serialport.h"
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
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
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
    QtFileDialog dialog;
    QtMessageBox messages;
    FileBindingControls controls {text, bar, dialog, messages};
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

void benchKeying(const QTemporaryDir &dir, const QString &tone)
{
    if (!qEnvironmentVariable("LD_PRELOAD").contains(QStringLiteral("v9modemshim"))) {
        add(QStringLiteral("click to RTS high"), {}, QString(), QStringLiteral("needs the shim"));
        return;
    }
    Q_UNUSED(dir);
    PtyPorts ports;
    ports.add(1);
    WaveDevice device;
    SerialPortAdapter serial;
    QtFileDialog dialog;
    QtMessageBox messages;
    Form1 form(device, serial, dialog, messages);
    form.Text1->setText(tone);
    std::vector<double> up, down;
    for (int i = 0; i < 30; ++i) {
        qint64 t0 = nowNs();
        form.cmdPlayTr->click();
        const qint64 high = rtsTime(ports, 1, 1, t0);
        // The kernel's own raise at open comes first; the keying is the last raise.
        qint64 last = -1;
        for (const QString &line : ports.rtsLog())
            if (line.startsWith(QStringLiteral("ttyS0 1 ")) && line.section(QLatin1Char(' '), 2).toLongLong() >= t0)
                last = line.section(QLatin1Char(' '), 2).toLongLong();
        if (high >= 0 && last >= 0)
            up.push_back(double(last - t0) / 1e6);
        pump(50);
        t0 = nowNs();
        form.cmdStop->click();
        const qint64 low = rtsTime(ports, 1, 0, t0);
        if (low >= 0)
            down.push_back(double(low - t0) / 1e6);
        QFile::remove(ports.dir() + QStringLiteral("/rts.log"));
    }
    add(QStringLiteral("click to RTS high"), up, QStringLiteral("ms"), QStringLiteral("< 1 ms"));
    add(QStringLiteral("ΔΙΑΚΟΠΗ to RTS low"), down, QStringLiteral("ms"), QStringLiteral("< 1 ms"));
}

void benchSigterm(const QString &tone)
{
    if (!qEnvironmentVariable("LD_PRELOAD").contains(QStringLiteral("v9modemshim")))
        return;
    std::vector<double> ms;
    for (int i = 0; i < 10; ++i) {
        PtyPorts ports;
        ports.add(1);
        QProcess child;
        QStringList env = ports.environment();
        env << QStringLiteral("QT_QPA_PLATFORM=offscreen");
        child.setEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--keyed-child"), tone});
        if (!child.waitForReadyRead(10000))
            continue;
        child.readAll();
        QThread::msleep(300); // on air for a moment, as an operator would be
        const qint64 t0 = nowNs();
        child.terminate();
        child.waitForFinished(5000);
        const qint64 low = rtsTime(ports, 1, 0, t0);
        if (low >= 0)
            ms.push_back(double(low - t0) / 1e6);
    }
    add(QStringLiteral("SIGTERM to RTS low"), ms, QStringLiteral("ms"), QStringLiteral("< 1 ms"));
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

void benchSound(const QTemporaryDir &dir, const QString &tone)
{
    if (qEnvironmentVariableIsEmpty("PULSE_SERVER")) {
        add(QStringLiteral("Play to first audio at the server"), {}, QString(), QStringLiteral("needs sound server"));
        return;
    }
    std::vector<double> ms;
    {
        WaveDevice device;
        device.open(tone);
        for (int i = 0; i < 20; ++i) {
            device.rewind();
            const qint64 t0 = nowNs();
            device.play();
            while (device.position() == 0 && nowNs() - t0 < 2000000000LL) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
                QThread::usleep(100);
            }
            if (device.position() > 0)
                ms.push_back(double(nowNs() - t0) / 1e6);
            device.stop();
            pump(30);
        }
    }
    add(QStringLiteral("Play to first audio at the server"), ms, QStringLiteral("ms"), QStringLiteral("< 60 ms"));

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
    device.play();
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
    benchKeying(dir, tone);
    benchSigterm(tone);
    benchSound(dir, tone);
    printTable();
    return 0;
}
