#include "fakes.h"
#include "filebinding.h"
#include "lineeditfield.h"

#include <QLineEdit>
#include <QtTest>

class TestFileBinding : public QObject
{
    Q_OBJECT

    struct Rig
    {
        Journal journal;
        QLineEdit text;
        FakeMediaControl media {journal};
        FakeFileDialog dialog {journal};
        LineEditField field {text};
        FileBindingControls controls {field, media, dialog};
        Rig()
        {
            // Wired as the window wires it: the change handler runs at the assignment.
            QObject::connect(&text, &QLineEdit::textChanged, [this] { Text1_Change(controls); });
        }
        // The click, and the dialog's answer after it.
        void pick(void (*handler)(FileBindingControls &))
        {
            handler(controls);
            QTest::qWait(20);
        }
    };

private slots:
    void changeRebindsToTheText()
    {
        Rig rig;
        rig.text.setText(QStringLiteral("/m/cq.wav"));
        QCOMPARE(rig.journal, (QStringList {"media.Close", "media.FileName=/m/cq.wav", "media.Open"}));
    }

    void typingReopensAfterEveryKeystroke()
    {
        Rig rig;
        QTest::keyClicks(&rig.text, QStringLiteral("/a.wav"));
        QCOMPARE(rig.journal.count(QStringLiteral("media.Close")), 6);
        QCOMPARE(rig.journal.count(QStringLiteral("media.Open")), 6);
        QCOMPARE(rig.journal.mid(rig.journal.size() - 3),
                 (QStringList {"media.Close", "media.FileName=/a.wav", "media.Open"}));
    }

    void fileButtonSetsUpWaveAudioAndRebindsNested()
    {
        Rig rig;
        rig.dialog.answers = QStringList {QStringLiteral("/m/cq.wav")};
        rig.pick(cmdFile_Click);
        QCOMPARE(rig.journal, (QStringList {
                                  "media.Close", "media.Notify=0", "media.Wait=1", "media.Shareable=0",
                                  "media.DeviceType=WaveAudio", "dialog.Filter=(*.wav)|*.wav", "dialog.Show",
                                  // nested change handler, at the assignment of the text
                                  "media.Close", "media.FileName=/m/cq.wav", "media.Open",
                                  "media.FileName=/m/cq.wav", "media.Open",
                              }));
        QCOMPARE(rig.text.text(), QStringLiteral("/m/cq.wav"));
    }

    void sameFileTwiceSkipsTheNestedChange()
    {
        Rig rig;
        rig.dialog.answers = QStringList {QStringLiteral("/m/cq.wav"), QStringLiteral("/m/cq.wav")};
        rig.pick(cmdFile_Click);
        rig.journal.clear();
        rig.pick(cmdFile_Click);
        QCOMPARE(rig.journal.count(QStringLiteral("media.Close")), 1);
        QCOMPARE(rig.journal.mid(rig.journal.size() - 2), (QStringList {"media.FileName=/m/cq.wav", "media.Open"}));
    }

    void cancelKeepsTypedPath()
    {
        Rig rig;
        rig.text.setText(QStringLiteral("/typed/by/hand.wav"));
        rig.journal.clear();
        rig.dialog.answers = QStringList {QString()};
        rig.pick(cmdFile_Click);
        QCOMPARE(rig.text.text(), QStringLiteral("/typed/by/hand.wav"));
        // The device is closed first and ends open on the kept path.
        QCOMPARE(rig.journal.first(), QStringLiteral("media.Close"));
        QCOMPARE(rig.journal.mid(rig.journal.size() - 2),
                 (QStringList {"media.FileName=/typed/by/hand.wav", "media.Open"}));
        QCOMPARE(rig.journal.count(QStringLiteral("media.Close")), 1);
    }

    void cancelAfterAChoiceKeepsTheEditedPath()
    {
        Rig rig;
        rig.dialog.answers = QStringList {QStringLiteral("/m/first.wav"), QString()};
        rig.pick(cmdWav_Click);
        rig.text.setText(QStringLiteral("/m/edited.wav"));
        rig.pick(cmdWav_Click);
        QCOMPARE(rig.text.text(), QStringLiteral("/m/edited.wav"));
        QCOMPARE(rig.journal.last(), QStringLiteral("media.Open"));
        QCOMPARE(rig.journal.at(rig.journal.size() - 2), QStringLiteral("media.FileName=/m/edited.wav"));
    }

    void menuItemLeavesTheDeviceTypeAlone()
    {
        Rig rig;
        rig.dialog.answers = QStringList {QStringLiteral("/m/73.wav")};
        rig.pick(cmdWav_Click);
        QCOMPARE(rig.journal, (QStringList {
                                  "media.Close", "dialog.Filter=(*.wav)|*.wav", "dialog.Show", "media.Close",
                                  "media.FileName=/m/73.wav", "media.Open", "media.FileName=/m/73.wav", "media.Open",
                              }));
    }

    void nameOfAMissingFileStillGoesIntoTheText()
    {
        Rig rig;
        rig.dialog.answers = QStringList {QStringLiteral("/nowhere/new.wav")};
        rig.pick(cmdFile_Click);
        QCOMPARE(rig.text.text(), QStringLiteral("/nowhere/new.wav"));
    }

    void saveIsSilentWhenItWorks()
    {
        Rig rig;
        cmdSave_Click(rig.controls);
        QCOMPARE(rig.journal, QStringList {"media.Save"});
    }

    void filterPairsBecomeQtNameFilters()
    {
        QCOMPARE(nameFiltersFromPairs(QStringLiteral("(*.wav)|*.wav")), QStringList {"(*.wav)"});
        QCOMPARE(nameFiltersFromPairs(QStringLiteral("Sound|*.wav|All|*")),
                 (QStringList {"Sound (*.wav)", "All (*)"}));
        QCOMPARE(nameFiltersFromPairs(QStringLiteral("dangling")), QStringList {});
    }
};

QTEST_MAIN(TestFileBinding)
#include "tst_filebinding.moc"
