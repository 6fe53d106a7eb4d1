// vendrel9-filedialog: the program's file dialog, in a process of its own. Whatever the
// dialog does on a folder that stops answering (a share gone quiet, a dead mount in the
// list) holds this process only; the program's window goes on answering, and ΔΙΑΚΟΠΗ,
// closing and signals unkey at once.
//
// Arguments: --program PID [--parent WINDOW-ID] [--screen R] [--window R] [--in-sight R]...
// [--select PATH | --folder PATH] [--filter FILTER]..., R being "x,y,width,height".
// Says on standard output, framed (platform/frames.h): ["up"] once Qt has started,
// ["shown"] once the dialog is on screen, then ["chosen", path] or ["cancelled"].
#include "boxplacement.h"
#include "frames.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QSettings>
#include <QTimer>
#include <QWindow>

#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

bool say(const frames::Fields &message)
{
    const QByteArray bytes = frames::encode(message);
    return std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) == size_t(bytes.size())
        && std::fflush(stdout) == 0;
}

QRect rectOf(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4)
        return {};
    return QRect(parts[0].toInt(), parts[1].toInt(), parts[2].toInt(), parts[3].toInt());
}

// Tells the program the dialog is on screen, once: until then the window is not held.
class ShownWatch final : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show && !m_told) {
            m_told = true;
            QTimer::singleShot(0, this, [] { say({"shown"}); });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_told = false;
};

} // namespace

int main(int argc, char **argv)
{
    // Goes with the program, however it ends.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    pid_t program = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (QByteArray(argv[i]) == "--program")
            program = pid_t(QByteArray(argv[i + 1]).toLongLong());
    }
    if (program == 0 || ::getppid() != program)
        return 0;
    // Only the program's name reaches Qt, as for the program itself.
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    // Qt's dialog keeps its history, last folder and view in the user's settings and
    // reads them back at the next run; the program keeps no state.
    for (const QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat}) {
        QSettings::setPath(format, QSettings::UserScope, QStringLiteral("/dev/null"));
        QSettings::setPath(format, QSettings::SystemScope, QStringLiteral("/dev/null"));
    }
    // From here on only the folders can hold the dialog back: the program gives it a
    // short while to show, however long a busy machine took to get this far.
    if (!say({"up"}))
        return 1;
    QFileDialog dialog;
    // Qt's own dialog behaves the same on every desktop and under Xvfb, where no portal runs.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // A name typed for a file that does not exist yet is returned too: that is how a
    // message is recorded from scratch.
    dialog.setFileMode(QFileDialog::AnyFile);
    QStringList filters;
    WId parent = 0;
    BoxPlacement where;
    for (int i = 1; i + 1 < argc; i += 2) {
        const QByteArray option = argv[i];
        const QString value = QFile::decodeName(argv[i + 1]);
        if (option == "--parent")
            parent = WId(value.toULongLong());
        else if (option == "--screen")
            where.screen = rectOf(value);
        else if (option == "--window")
            where.window = rectOf(value);
        else if (option == "--in-sight")
            where.inSight << rectOf(value);
        else if (option == "--select")
            dialog.selectFile(value);
        else if (option == "--folder")
            dialog.setDirectory(value);
        else if (option == "--filter")
            filters << value;
    }
    dialog.setNameFilters(filters);
    if (parent) {
        // Kept above the program's window by the window manager, as its own dialog was.
        dialog.winId();
        if (QWindow *owner = QWindow::fromWinId(parent))
            dialog.windowHandle()->setTransientParent(owner);
    }
    ShownWatch watch;
    dialog.installEventFilter(&watch);
    QObject::connect(&dialog, &QDialog::finished, &app, [&](int result) {
        const bool chosen = result == QDialog::Accepted && !dialog.selectedFiles().isEmpty();
        const bool told = chosen ? say({"chosen", QFile::encodeName(dialog.selectedFiles().first())}) : say({"cancelled"});
        app.exit(told ? 0 : 1);
    });
    // Beside the window, clear of the lamps and the keying buttons, as the message boxes
    // stand: a dialog over ΔΙΑΚΟΠΗ would take the click meant to unkey. Placed before it
    // is shown, so that it never appears over them even for a moment; once the window
    // manager has framed it, placed again for the frame's size.
    const bool placed = where.window.isValid() && where.screen.isValid();
    if (placed) {
        dialog.adjustSize();
        dialog.move(placeBox(where, dialog.size()));
    }
    dialog.show();
    if (placed && dialog.frameGeometry().size() != dialog.size())
        dialog.move(placeBox(where, dialog.frameGeometry().size()));
    return app.exec();
}
