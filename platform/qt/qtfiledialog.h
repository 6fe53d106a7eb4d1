#pragma once

#include "filedialog.h"

#include <QPointer>

#include <memory>

class HelperClient;
class QObject;
class QTimer;
class QWidget;

// Qt's file dialog, shown by the helper process vendrel9-filedialog: the dialog may hang
// on a disk that stopped answering without holding the window. The window is held only
// while the dialog is on screen: only the controls kept live take input then (ΔΙΑΚΟΠΗ),
// and Escape in the window takes the dialog down. A helper that shows nothing within
// kShowDeadlineMs of being up (kStartDeadlineMs to get up: starting Qt on a busy machine
// takes its time, and holds nothing), that dies or that cannot start gives the window
// back, and the failure listener says why; a helper given up is killed and reaped.
class QtFileDialog final : public IFileDialog
{
public:
    static constexpr int kStartDeadlineMs = 10000;
    static constexpr int kShowDeadlineMs = 2000;

    QtFileDialog();
    ~QtFileDialog() override;
    void setParentWidget(QWidget *parent);
    // A control that must answer even while the dialog is up: the one that unkeys.
    void keepLive(QWidget *control);
    // Areas of the window the dialog must leave in sight: the lamps, the keying buttons.
    void keepInSight(const QList<QWidget *> &widgets);
    // Whether the transmitter is keyed or about to be: where the window system lets no
    // program place its windows (a native Wayland session), the dialog is not shown then.
    void setOnAir(std::function<bool()> onAir);
    void setFilter(const QString &filter) override;
    void showOpen(Done done) override;
    QString fileName() const override;
    void cancel() override;
    void setFailureListener(std::function<void(const QString &reason)> listener) override;
    // The dialog is on screen, and holds the window.
    bool isShown() const { return m_gate != nullptr; }

private:
    void shown();
    void finish(bool chosen, const QString &path = {});
    void fail(const QString &reason);
    QStringList arguments() const;

    QWidget *m_parent = nullptr;
    QList<QPointer<QWidget>> m_live;
    QList<QPointer<QWidget>> m_inSight;
    QStringList m_nameFilters;
    QString m_fileName;
    QString m_lastFolder;
    Done m_done;
    std::function<bool()> m_onAir;
    std::function<void(const QString &)> m_failureListener;
    std::unique_ptr<QObject> m_gate;
    std::unique_ptr<QTimer> m_showDeadline;
    // Owns every helper's client, the one let go of included until it is deleted later:
    // none outlives the dialog, even when the event loop has ended.
    std::unique_ptr<QObject> m_clients;
    HelperClient *m_helper = nullptr;
};
