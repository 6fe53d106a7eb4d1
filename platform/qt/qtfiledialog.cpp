#include "qtfiledialog.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QSettings>

QtFileDialog::QtFileDialog()
{
    // Qt's dialog keeps its history, last folder and view in the user's settings and
    // reads them back at the next run. The program keeps no state: settings are pointed
    // where nothing can be read or written.
    for (const QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat}) {
        QSettings::setPath(format, QSettings::UserScope, QStringLiteral("/dev/null"));
        QSettings::setPath(format, QSettings::SystemScope, QStringLiteral("/dev/null"));
    }
}

QtFileDialog::~QtFileDialog() = default;

void QtFileDialog::setParentWidget(QWidget *parent)
{
    m_parent = parent;
}

void QtFileDialog::setFilter(const QString &filter)
{
    m_nameFilters = nameFiltersFromPairs(filter);
}

bool QtFileDialog::showOpen()
{
    QFileDialog dialog(m_parent);
    // Qt's own dialog behaves the same on every desktop and under Xvfb, where no portal runs.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // A name typed for a file that does not exist yet is returned too: that is how a
    // message is recorded from scratch.
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(m_nameFilters);
    if (!m_fileName.isEmpty())
        dialog.selectFile(m_fileName);
    else if (!m_lastFolder.isEmpty())
        dialog.setDirectory(m_lastFolder);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty())
        return false;
    m_fileName = chosen.first();
    m_lastFolder = QFileInfo(m_fileName).absolutePath();
    return true;
}

QString QtFileDialog::fileName() const
{
    return m_fileName;
}
