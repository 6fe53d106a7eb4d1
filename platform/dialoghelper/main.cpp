// vendrel9-filedialog: the program's file dialog, in a process of its own. Whatever the
// dialog does on a folder that stops answering (a share gone quiet, a dead mount in the
// list) holds this process only; the program's window goes on answering, and ΔΙΑΚΟΠΗ,
// closing and signals unkey at once.
//
// Arguments: [--parent WINDOW-ID] [--select PATH | --folder PATH] [--filter FILTER]...
// Writes the chosen path and a newline on standard output; nothing when cancelled.
#include <QApplication>
#include <QFileDialog>
#include <QSettings>
#include <QWindow>

#include <csignal>
#include <cstdio>
#include <sys/prctl.h>

int main(int argc, char **argv)
{
    // Goes with the program, however it ends.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // Only the program's name reaches Qt, as for the program itself.
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    // Qt's dialog keeps its history, last folder and view in the user's settings and
    // reads them back at the next run; the program keeps no state.
    for (const QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat}) {
        QSettings::setPath(format, QSettings::UserScope, QStringLiteral("/dev/null"));
        QSettings::setPath(format, QSettings::SystemScope, QStringLiteral("/dev/null"));
    }
    QFileDialog dialog;
    // Qt's own dialog behaves the same on every desktop and under Xvfb, where no portal runs.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // A name typed for a file that does not exist yet is returned too: that is how a
    // message is recorded from scratch.
    dialog.setFileMode(QFileDialog::AnyFile);
    QStringList filters;
    WId parent = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const QByteArray option = argv[i];
        const QString value = QString::fromUtf8(argv[i + 1]);
        if (option == "--parent")
            parent = WId(value.toULongLong());
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
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return 0;
    const QByteArray chosen = dialog.selectedFiles().first().toUtf8() + '\n';
    std::fwrite(chosen.constData(), 1, size_t(chosen.size()), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
