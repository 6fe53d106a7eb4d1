#pragma once

#include "filedialog.h"

#include <QPointer>

class QWidget;

// Qt's file dialog, shown by the helper process vendrel9-filedialog. The window's thread
// only waits on the helper's answer inside its event loop: the dialog may hang on a disk
// that stopped answering without holding the window, and closing the window or a signal
// ends the wait at once. For the window it stays modal: while the dialog is up only the
// controls kept live take input (ΔΙΑΚΟΠΗ), and Escape in the window cancels the dialog.
class QtFileDialog final : public IFileDialog
{
public:
    QtFileDialog();
    ~QtFileDialog() override;
    void setParentWidget(QWidget *parent);
    // A control that must answer even while the dialog is up: the one that unkeys.
    void keepLive(QWidget *control);
    void setFilter(const QString &filter) override;
    bool showOpen() override;
    QString fileName() const override;

private:
    QWidget *m_parent = nullptr;
    QList<QPointer<QWidget>> m_live;
    QStringList m_nameFilters;
    QString m_fileName;
    QString m_lastFolder;
};
