#pragma once

#include "filebinding.h"
#include "lineeditfield.h"
#include "playtransmit.h"
#include "portselection.h"

#include <QMainWindow>
#include <array>
#include <optional>

class IAudioDevice;
class Lamp;
class MediaBar;
class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;

// The one window: its layout, its menus, the port it keys, and which handler each of its
// events runs. The handlers themselves live with the subsystem they belong to.
class Form1 final : public QMainWindow
{
    Q_OBJECT
public:
    Form1(IAudioDevice &device, ISerialPort &serial, IFileDialog &dialog, IMessageBox &messages,
          QWidget *parent = nullptr);
    ~Form1() override;

    // Controls under the names the behaviour is written in.
    QPushButton *cmdSave = nullptr;
    QLineEdit *Text1 = nullptr;
    QPushButton *cmdStop = nullptr;
    QPushButton *cmdPlayTr = nullptr;
    QPushButton *cmdFile = nullptr;
    MediaBar *MMControl1 = nullptr;
    QLabel *Label11 = nullptr;
    QLabel *Label10 = nullptr;
    QLabel *Label8 = nullptr;
    QLabel *Label7 = nullptr;
    QLabel *Label4 = nullptr;
    QLabel *Label3 = nullptr;
    QLabel *Label1 = nullptr;
    Lamp *Shape2 = nullptr;
    Lamp *Shape1 = nullptr;
    QMenu *cmdRithmiseis = nullptr;
    QMenu *cmdcom = nullptr;
    std::array<QAction *, 6> cmdcomN {}; // cmdcom1 ... cmdcom6
    QAction *cmdWav = nullptr;

    qint16 PortNumber = 0;

    // Runs the unload handler once, ahead of the close when a signal asks for it, so the
    // transmitter is unkeyed before any of the window's own closing work.
    void unload();

protected:
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void buildLayout();
    void buildMenus();
    void wireEvents();
    void Form_Load();

    ISerialPort &m_serial;
    IFileDialog &m_dialog;
    IMessageBox &m_messages;
    std::optional<LineEditField> m_text1Field;
    std::optional<FileBindingControls> m_fileBinding;
    std::optional<KeyingControls> m_keying;
    std::optional<PortControls> m_ports;
    bool m_unloaded = false;
};
