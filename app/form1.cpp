#include "form1.h"

#include "lamp.h"
#include "mediabar.h"

#include <QAction>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>

namespace {

// The layout is drawn in twips, 15 to a pixel at 96 dpi.
QRect twips(int left, int top, int width, int height)
{
    const auto px = [](int t) { return qRound(t / 15.0); };
    return QRect(px(left), px(top), px(width), px(height));
}

// Colours are kept as the 0x00BBGGRR values they were designed in.
QColor bgr(quint32 value)
{
    return QColor(int(value & 0xFF), int((value >> 8) & 0xFF), int((value >> 16) & 0xFF));
}

QPushButton *graphicalButton(const QString &caption, quint32 backColour, const QRect &geometry, QWidget *parent)
{
    auto *button = new QPushButton(caption, parent);
    button->setGeometry(geometry);
    // Enter and Esc must never press a button on this window.
    button->setAutoDefault(false);
    button->setDefault(false);
    // A style sheet, not the palette: most styles only tint a button with its palette,
    // and the face must carry the colour itself.
    const QString colour = bgr(backColour).name();
    // Every state names its background: a state rule without one lets the style paint
    // its own face (a bluish gradient on focus) over the colour.
    button->setStyleSheet(QStringLiteral("QPushButton { background-color: %1; color: black;"
                                         " border: 1px solid #404040; }"
                                         "QPushButton:focus { background-color: %1; border: 2px solid #202020; }"
                                         "QPushButton:pressed { background-color: %2; }")
                              .arg(colour, bgr(backColour).darker(115).name()));
    return button;
}

QLabel *label(const QString &name, const QString &text, const QRect &geometry, QWidget *parent)
{
    auto *result = new QLabel(text, parent);
    result->setObjectName(name);
    result->setGeometry(geometry);
    result->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    return result;
}

constexpr int kClientWidth = 550;  // 8250 twips
constexpr int kClientHeight = 304; // 4560 twips

} // namespace

Form1::Form1(IAudioDevice &device, ISerialPort &serial, IFileDialog &dialog, IMessageBox &messages, QWidget *parent)
    : QMainWindow(parent), m_serial(serial), m_dialog(dialog), m_messages(messages)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("ΒΕΝΤΡΕΛΟ  (VALDOR)"));
    auto *client = new QWidget(this);
    client->setFixedSize(kClientWidth, kClientHeight);
    setCentralWidget(client);
    MMControl1 = new MediaBar(device, client);
    buildLayout();
    buildMenus();
    wireEvents();
    Form_Load();
}

Form1::~Form1() = default;

void Form1::buildLayout()
{
    QWidget *client = centralWidget();
    QFont font = client->font();
    font.setPointSize(8);
    client->setFont(font);

    cmdSave = graphicalButton(QStringLiteral("ΣΩΣΙΜΟ ΕΓΓΡΑΦΗΣ"), 0x0080FF80, twips(5760, 2040, 2295, 372), client);
    Text1 = new QLineEdit(client);
    Text1->setGeometry(twips(2640, 2040, 2892, 288));
    cmdStop = graphicalButton(QStringLiteral("ΔΙΑΚΟΠΗ"), 0x00C0FFC0, twips(3000, 3600, 2292, 372), client);
    cmdPlayTr = graphicalButton(QStringLiteral("ΑΝΑΠΑΡΑΓΩΓΗ+ΕΚΠΟΜΠΗ"), 0x008080FF, twips(3000, 3000, 2292, 372), client);
    // A Latin capital E, then Greek capitals, and two blanks before "wav".
    cmdFile = graphicalButton(QStringLiteral("EΥΡΕΣΗ ΑΡΧΕΙΟΥ  wav"), 0x00FFFFFF, twips(120, 2040, 2292, 372), client);
    MMControl1->setGeometry(twips(1560, 720, 4800, 852));
    Label11 = label(QStringLiteral("Label11"), QString(), twips(6840, 1440, 492, 372), client);
    Label10 = label(QStringLiteral("Label10"), QString(), twips(7440, 1440, 252, 372), client);
    Label8 = label(QStringLiteral("Label8"), QStringLiteral("ΕΓΓΡΑΦΗ"), twips(5400, 360, 852, 252), client);
    Label7 = label(QStringLiteral("Label7"), QStringLiteral("ΔΙΑΚΟΠΗ"), twips(4560, 1680, 732, 252), client);
    Label4 = label(QStringLiteral("Label4"), QStringLiteral("ΠΑΥΣΗ"), twips(3720, 360, 612, 252), client);
    Label3 = label(QStringLiteral("Label3"), QStringLiteral("ΑΝΑΠΑΡΑΓΩΓΗ"), twips(2520, 1680, 1212, 252), client);
    Label1 = label(QStringLiteral("Label1"), QStringLiteral("ΑΡΧΗ"), twips(1800, 360, 732, 252), client);
    Shape2 = new Lamp(bgr(0x0000FF00), client);
    Shape2->setGeometry(twips(6960, 960, 372, 372));
    Shape1 = new Lamp(bgr(0x000000FF), client);
    Shape1->setGeometry(twips(6960, 960, 372, 372));
    Shape1->hide();

    // What a screen reader says; only the lit lamp is visible, so it says which state holds.
    Shape1->setAccessibleName(QStringLiteral("Λυχνια εκπομπης"));
    Shape1->setAccessibleDescription(QStringLiteral("Κοκκινη: ο πομπος εκπεμπει"));
    Shape2->setAccessibleName(QStringLiteral("Λυχνια αναμονης"));
    Shape2->setAccessibleDescription(QStringLiteral("Πρασινη: ο πομπος δεν εκπεμπει"));
    Text1->setAccessibleName(QStringLiteral("Αρχειο wav"));
    Text1->setAccessibleDescription(QStringLiteral("Η διαδρομη του αρχειου wav που παιζει ο πομπος"));

    cmdSave->setObjectName(QStringLiteral("cmdSave"));
    Text1->setObjectName(QStringLiteral("Text1"));
    cmdStop->setObjectName(QStringLiteral("cmdStop"));
    cmdPlayTr->setObjectName(QStringLiteral("cmdPlayTr"));
    cmdFile->setObjectName(QStringLiteral("cmdFile"));
    MMControl1->setObjectName(QStringLiteral("MMControl1"));
    Shape2->setObjectName(QStringLiteral("Shape2"));
    Shape1->setObjectName(QStringLiteral("Shape1"));

    setTabOrder(MMControl1, cmdFile);
    setTabOrder(cmdFile, cmdPlayTr);
    setTabOrder(cmdPlayTr, cmdStop);
    setTabOrder(cmdStop, Text1);
    setTabOrder(Text1, cmdSave);
    MMControl1->setFocus();
}

void Form1::buildMenus()
{
    cmdRithmiseis = menuBar()->addMenu(QStringLiteral("&Ρυθμισεις"));
    cmdRithmiseis->setObjectName(QStringLiteral("cmdRithmiseis"));
    cmdcom = cmdRithmiseis->addMenu(QStringLiteral("Θυρες Επικοινωνιας &COM"));
    cmdcom->setObjectName(QStringLiteral("cmdcom"));
    for (int i = 0; i < 6; ++i) {
        QAction *item = cmdcom->addAction(QStringLiteral("θυρα%1").arg(i + 1));
        item->setObjectName(QStringLiteral("cmdcom%1").arg(i + 1));
        item->setData(i + 1); // the item's index
        cmdcomN[size_t(i)] = item;
    }
    cmdWav = cmdRithmiseis->addAction(QStringLiteral("Φακελλος Αρχειων &WAV"));
    cmdWav->setObjectName(QStringLiteral("cmdWav"));
}

void Form1::wireEvents()
{
    m_text1Field.emplace(*Text1);
    m_fileBinding.emplace(FileBindingControls {*m_text1Field, *MMControl1, m_dialog});
    m_keying.emplace(KeyingControls {*Text1, *cmdPlayTr, *cmdFile, *cmdStop, *Label10, *Shape1, *Shape2,
                                     *MMControl1, m_serial, m_messages, PortNumber});
    m_ports.emplace(PortControls {*Label10, PortNumber});

    // textChanged fires on typing and on a program's assignment alike, and only when the
    // text really changes: the handler then runs nested at the assignment.
    connect(Text1, &QLineEdit::textChanged, this, [this] { Text1_Change(*m_fileBinding); });
    connect(cmdFile, &QPushButton::clicked, this, [this] { cmdFile_Click(*m_fileBinding); });
    connect(cmdWav, &QAction::triggered, this, [this] { cmdWav_Click(*m_fileBinding); });
    connect(cmdSave, &QPushButton::clicked, this, [this] { cmdSave_Click(*m_fileBinding); });
    connect(cmdPlayTr, &QPushButton::clicked, this, [this] { cmdPlayTr_Click(*m_keying); });
    connect(cmdStop, &QPushButton::clicked, this, [this] { cmdStop_Click(*m_keying); });
    // The device's own troubles are told without a modal box, which would stand between
    // the operator and ΔΙΑΚΟΠΗ while on air.
    connect(MMControl1, &MediaBar::problem, this, [this](IAudioDevice::Problem problem, const QString &path,
                                                          const QString &reason) {
        const QString text = problem == IAudioDevice::Problem::SaveFailed
            ? QStringLiteral("Η εγγραφη δεν σωθηκε στο αρχειο %1\n%2").arg(path, reason)
            : problem == IAudioDevice::Problem::TakeClipped
            ? QStringLiteral("Η εγγραφη ψαλιδιστηκε, εφτασε στο μεγιστο: %1.\n"
                             "Στον αερα θα ακουγεται παραμορφωμενη: γραψτε την ξανα με χαμηλοτερη σταθμη εισοδου.")
                  .arg(reason)
            : QStringLiteral("Η εγγραφη σταματησε: %1\nΟ,τι γραφτηκε ως εκει κρατηθηκε.").arg(reason);
        m_messages.notify(text, QStringLiteral("Vendrel9"), IMessageBox::Icon::Warning);
    });

    // An unkeying step that failed at the port after it returned (the adapter pulled out
    // on air) is told the same way, without a box that waits.
    m_serial.setFailureListener([this] {
        QString text = portFailureText(m_serial, m_serial.failure(), m_serial.errorString());
        // The port was closed under the transmission: say plainly that it is off the air.
        if (m_serial.failure() == ISerialPort::Failure::NoAnswer || m_serial.failure() == ISerialPort::Failure::HelperGone)
            text += QStringLiteral("\nΟ πομπος δεν εκπεμπει πλεον.");
        m_messages.notify(text, QStringLiteral("Vendrel9"), IMessageBox::Icon::Warning);
    });
    // A file dialog that could not be had gives the window back and says why.
    m_dialog.setFailureListener([this](const QString &reason) {
        m_messages.notify(QStringLiteral("Ο διαλογος αρχειων δεν ανοιξε: %1").arg(reason), QStringLiteral("Vendrel9"),
                          IMessageBox::Icon::Warning);
    });

    using PortHandler = void (*)(PortControls &, qint16);
    static constexpr std::array<PortHandler, 6> portHandlers {
        cmdcom1_Click, cmdcom2_Click, cmdcom3_Click, cmdcom4_Click, cmdcom5_Click, cmdcom6_Click,
    };
    for (size_t i = 0; i < portHandlers.size(); ++i) {
        QAction *item = cmdcomN[i];
        const PortHandler handler = portHandlers[i];
        connect(item, &QAction::triggered, this,
                [this, item, handler] { handler(*m_ports, qint16(item->data().toInt())); });
    }
}

void Form1::Form_Load()
{
    Shape2->show();
    cmdStop->hide();
    PortNumber = 1;
    Label11->setText(QStringLiteral("Com="));
    Label10->setText(QString::number(PortNumber));
}

void Form1::unload()
{
    // A close can be asked twice (a signal during a dialog); unloading once is enough.
    if (m_unloaded)
        return;
    m_unloaded = true;
    Form_Unload(*m_keying);
    m_dialog.cancel();
}

void Form1::keyPressEvent(QKeyEvent *event)
{
    // Escape calls off a transmission still waiting for the port, as ΔΙΑΚΟΠΗ does; once
    // keyed it presses nothing, as on the rest of the window.
    if (event->key() == Qt::Key_Escape && !cmdPlayTr->isVisible() && cmdStop->isVisible() && !Shape1->isVisible()) {
        cmdStop_Click(*m_keying);
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void Form1::closeEvent(QCloseEvent *event)
{
    unload();
    event->accept();
}
