// The wave device's decisions on their own, no sound server, no files: what each command
// does, and the window's view driven by scripted reports of the binding's thread, late,
// out of order and repeated.
#include "transport.h"

#include <QtTest>

#include <random>

using namespace transport;

namespace {

State at(Mode mode, qint64 position, qint64 length, Output output = Output::Desk)
{
    return State {mode, position, length, output};
}

Order order(Command command, qint64 heardAt = -1, Output output = Output::Desk)
{
    return Order {command, output, heardAt};
}

// The binding's thread, as a script: it carries out what it was posted with the same
// decisions, and reports its state with numbers as the real one does.
struct Binding
{
    quint64 number = 0;
    State state;
    quint64 handled = 0;
    quint64 revision = 0;

    struct Report
    {
        quint64 revision, handled;
        State state;
    };
    Report report() { return {++revision, handled, state}; }
    void carryOut(quint64 sequence, const Order &o)
    {
        handled = sequence;
        state = decide(state, o).next;
    }
};

} // namespace

namespace transport {
// What QCOMPARE prints for a state that differs.
char *toString(const State &s)
{
    return qstrdup(qPrintable(QStringLiteral("mode %1 at %2 of %3, output %4")
                                  .arg(int(s.mode)).arg(s.position).arg(s.length).arg(int(s.output))));
}
} // namespace transport

class TestTransport : public QObject
{
    Q_OBJECT

private slots:
    void playAtTheEndDoesNothing()
    {
        const Decision d = decide(at(Mode::Stopped, 100, 100), order(Command::Play));
        QVERIFY(!d.acts);
        QCOMPARE(d.next.mode, Mode::Stopped);
        QVERIFY(decide(at(Mode::Stopped, 99, 100), order(Command::Play)).steps.startPlaying);
    }

    // Saving on air must not silence the message: nothing but the save is done.
    void saveLeavesWhatPlaysAlone()
    {
        for (const Mode mode : {Mode::Playing, Mode::Paused, Mode::Stopped, Mode::Opening}) {
            const State before = at(mode, 10, 100, Output::Air);
            const Decision d = decide(before, order(Command::Save, 40));
            QVERIFY(d.steps.save);
            QVERIFY(!d.steps.endSound && !d.steps.pauseSound);
            QCOMPARE(d.next, before);
        }
        QVERIFY(!decide(at(Mode::Closed, 0, 0), order(Command::Save)).acts);
    }

    void saveWhileRecordingEndsTheTakeFirst()
    {
        const Decision d = decide(at(Mode::Recording, 10, 10), order(Command::Save, 58));
        QVERIFY(d.steps.endSound && d.steps.save && d.steps.atTakeEnd);
        QCOMPARE(d.next, at(Mode::Stopped, 58, 58));
    }

    // "Play" during a recording keeps what was taken and plays it from where it began.
    void playWhileRecordingPlaysTheTakeFromItsStart()
    {
        const Decision d = decide(at(Mode::Recording, 20, 20), order(Command::Play, 70, Output::Air));
        QVERIFY(d.steps.endSound && d.steps.startPlaying);
        QVERIFY(!d.steps.atTakeEnd);
        QCOMPARE(d.next, at(Mode::Playing, 20, 70, Output::Air));
        // The binding then learns how much the take really holds.
        QCOMPARE(takeEnded(d.next, d.steps.atTakeEnd, 20, true, 66), at(Mode::Playing, 20, 66, Output::Air));
        QCOMPARE(takeEnded(d.next, d.steps.atTakeEnd, 20, false, 100), at(Mode::Playing, 20, 100, Output::Air));
    }

    // A recording stopped before any audio came (no server, a frozen one) leaves the
    // message as it was, and the place where the take would have begun.
    void recordingStoppedBeforeAnyAudioKeepsTheMessage()
    {
        const Decision d = decide(at(Mode::Recording, 30, 100), order(Command::Stop, 30));
        QCOMPARE(d.next, at(Mode::Stopped, 30, 100));
        QCOMPARE(takeEnded(d.next, d.steps.atTakeEnd, 30, false, 100), at(Mode::Stopped, 30, 100));
        QCOMPARE(takeEnded(d.next, d.steps.atTakeEnd, 30, true, 45), at(Mode::Stopped, 45, 45));
    }

    // The radio must never be keyed over a message heard at the desk.
    void playOnAirTakesTheMessageOffTheDesk()
    {
        Decision d = decide(at(Mode::Playing, 0, 100, Output::Desk), order(Command::Play, 30, Output::Air));
        QVERIFY(d.steps.endSound && d.steps.startPlaying);
        QCOMPARE(d.next, at(Mode::Playing, 30, 100, Output::Air));
        d = decide(at(Mode::Paused, 30, 100, Output::Desk), order(Command::Play, 30, Output::Air));
        QVERIFY(d.steps.endSound && d.steps.startPlaying && !d.steps.resumeSound);
        QCOMPARE(d.next.output, Output::Air);
        // The same output resumes the paused stream, or carries on.
        d = decide(at(Mode::Paused, 30, 100, Output::Air), order(Command::Play, 30, Output::Air));
        QVERIFY(d.steps.resumeSound && !d.steps.endSound);
        QVERIFY(!decide(at(Mode::Playing, 0, 100, Output::Air), order(Command::Play, 30, Output::Air)).acts);
    }

    void stopAndPauseKeepWhereTheWindowHeardTheSound()
    {
        QCOMPARE(decide(at(Mode::Playing, 10, 100), order(Command::Pause, 42)).next, at(Mode::Paused, 42, 100));
        QCOMPARE(decide(at(Mode::Playing, 10, 100), order(Command::Stop, 42)).next, at(Mode::Stopped, 42, 100));
        // Bounded by the stream and the content, whatever the window read.
        QCOMPARE(decide(at(Mode::Playing, 10, 100), order(Command::Stop, 400)).next.position, qint64(100));
        QCOMPARE(decide(at(Mode::Playing, 10, 100), order(Command::Stop, 2)).next.position, qint64(10));
        // A pause keeps its place through a stop.
        QCOMPARE(decide(at(Mode::Paused, 42, 100), order(Command::Stop, 77)).next, at(Mode::Stopped, 42, 100));
        QVERIFY(!decide(at(Mode::Stopped, 42, 100), order(Command::Stop, 77)).acts);
        QVERIFY(!decide(at(Mode::Stopped, 42, 100), order(Command::Pause, 77)).acts);
    }

    void rewindAndRecordFromEveryMode()
    {
        QCOMPARE(decide(at(Mode::Playing, 10, 100), order(Command::Rewind, 50)).next, at(Mode::Stopped, 0, 100));
        QVERIFY(decide(at(Mode::Playing, 10, 100), order(Command::Rewind, 50)).steps.endSound);
        const Decision fromTake = decide(at(Mode::Recording, 10, 10), order(Command::Rewind, 50));
        QVERIFY(fromTake.steps.endSound && !fromTake.steps.atTakeEnd);
        QCOMPARE(takeEnded(fromTake.next, false, 10, true, 50), at(Mode::Stopped, 0, 50));
        QVERIFY(!decide(at(Mode::Stopped, 0, 100), order(Command::Rewind)).acts);
        QVERIFY(!decide(at(Mode::Closed, 0, 0), order(Command::Rewind)).acts);

        QVERIFY(decide(at(Mode::Stopped, 100, 100), order(Command::Record)).steps.startRecording);
        const Decision paused = decide(at(Mode::Paused, 40, 100), order(Command::Record));
        QVERIFY(paused.steps.endSound && paused.steps.startRecording);
        QCOMPARE(paused.next, at(Mode::Recording, 40, 100));
        QVERIFY(!decide(at(Mode::Playing, 40, 100), order(Command::Record)).acts);
        QVERIFY(!decide(at(Mode::Recording, 40, 100), order(Command::Record)).acts);
    }

    void playbackEndingByItselfStopsWhereItWasHeard()
    {
        QCOMPARE(playbackEnded(at(Mode::Playing, 10, 100), true, 60), at(Mode::Stopped, 100, 100));
        QCOMPARE(playbackEnded(at(Mode::Playing, 10, 100), false, 60), at(Mode::Stopped, 60, 100));
        QCOMPARE(playbackEnded(at(Mode::Stopped, 10, 100), false, 60), at(Mode::Stopped, 10, 100));
    }

    // --- the window's view

    // Presses while the file is still opening are kept, and carried out once it is open.
    void pressesWhileOpeningWaitForTheOpen()
    {
        Ledger ledger;
        const quint64 binding = ledger.open();
        QCOMPARE(ledger.view().mode, Mode::Opening);
        QVERIFY(ledger.busy());
        const auto play = ledger.command(order(Command::Play));
        QVERIFY(play);
        QCOMPARE(ledger.view().mode, Mode::Playing);
        // The open's report: the press is replayed on top of it.
        QVERIFY(ledger.receive(binding, 1, binding, opened(100)));
        QCOMPARE(ledger.view(), at(Mode::Playing, 0, 100));
        QVERIFY(ledger.busy());
        QVERIFY(!ledger.live());
        QVERIFY(!ledger.receive(binding, 2, play->sequence, at(Mode::Playing, 0, 100)));
        QVERIFY(!ledger.busy());
        QVERIFY(ledger.live());
        // An empty file plays nothing, whatever was pressed.
        Ledger empty;
        const quint64 other = empty.open();
        QVERIFY(empty.command(order(Command::Play)));
        QVERIFY(empty.receive(other, 1, other, opened(0)));
        QCOMPARE(empty.view().mode, Mode::Stopped);
        // A file that does not open: closed, whatever was pressed.
        Ledger failed;
        const quint64 third = failed.open();
        QVERIFY(failed.command(order(Command::Record)));
        QVERIFY(failed.receive(third, 1, third, State {}));
        QCOMPARE(failed.view().mode, Mode::Closed);
        QVERIFY(failed.busy()); // the record is still to be reported on
    }

    void lateReportNeverUndoesTheOperator()
    {
        Ledger ledger;
        const quint64 binding = ledger.open();
        ledger.receive(binding, 1, binding, opened(1000));
        const auto play = ledger.command(order(Command::Play));
        // The play has not moved yet as far as the window knows: it stops where it began.
        const auto stop = ledger.command(order(Command::Stop, 0));
        QVERIFY(play && stop);
        QVERIFY(stop->decision.steps.endSound); // silenced at once by the window
        QCOMPARE(ledger.view(), at(Mode::Stopped, 0, 1000));
        // The binding reports the play carried out and moving: the stop still holds.
        QVERIFY(!ledger.receive(binding, 2, play->sequence, at(Mode::Playing, 0, 1000)));
        QCOMPARE(ledger.view().mode, Mode::Stopped);
        QVERIFY(!ledger.live());
        // The stop carried out, where the binding's own clock had the sound.
        QVERIFY(ledger.receive(binding, 3, stop->sequence, at(Mode::Stopped, 12, 1000)));
        QCOMPARE(ledger.view(), at(Mode::Stopped, 12, 1000));
    }

    void repeatedAndOutOfOrderReportsAreDropped()
    {
        Ledger ledger;
        const quint64 binding = ledger.open();
        ledger.receive(binding, 1, binding, opened(1000));
        const auto play = ledger.command(order(Command::Play));
        ledger.receive(binding, 3, play->sequence, at(Mode::Stopped, 1000, 1000)); // played out
        QCOMPARE(ledger.view(), at(Mode::Stopped, 1000, 1000));
        // Revision 2 comes late, and revision 3 again: both older news.
        QVERIFY(!ledger.receive(binding, 2, play->sequence, at(Mode::Playing, 0, 1000)));
        QVERIFY(!ledger.receive(binding, 3, play->sequence, at(Mode::Playing, 0, 1000)));
        QCOMPARE(ledger.view(), at(Mode::Stopped, 1000, 1000));
        // A binding let go of is not heard at all.
        const quint64 next = ledger.open();
        QVERIFY(next > binding);
        QVERIFY(!ledger.receive(binding, 4, play->sequence, at(Mode::Playing, 0, 5)));
        QCOMPARE(ledger.view().mode, Mode::Opening);
        ledger.close();
        QVERIFY(!ledger.receive(next, 1, next, opened(5)));
        QCOMPARE(ledger.view().mode, Mode::Closed);
        QVERIFY(!ledger.busy());
        QVERIFY(!ledger.command(order(Command::Play)));
    }

    // The message ends by itself while the operator's pause is on its way: stopped at
    // the end, not paused short of it.
    void endReportedBeforeAPendingPauseEndsStopped()
    {
        Ledger ledger;
        const quint64 binding = ledger.open();
        ledger.receive(binding, 1, binding, opened(1000));
        const auto play = ledger.command(order(Command::Play));
        ledger.receive(binding, 2, play->sequence, at(Mode::Playing, 0, 1000));
        const auto pause = ledger.command(order(Command::Pause, 990));
        QCOMPARE(ledger.view(), at(Mode::Paused, 990, 1000));
        ledger.receive(binding, 3, play->sequence, at(Mode::Stopped, 1000, 1000));
        QCOMPARE(ledger.view(), at(Mode::Stopped, 1000, 1000));
        ledger.receive(binding, 4, pause->sequence, at(Mode::Stopped, 1000, 1000));
        QCOMPARE(ledger.view(), at(Mode::Stopped, 1000, 1000));
    }

    // A save waiting to be carried out changes no stream: the position goes on live.
    void pendingSaveKeepsThePositionLive()
    {
        Ledger ledger;
        const quint64 binding = ledger.open();
        ledger.receive(binding, 1, binding, opened(1000));
        const auto play = ledger.command(order(Command::Play, -1, Output::Air));
        ledger.receive(binding, 2, play->sequence, at(Mode::Playing, 0, 1000, Output::Air));
        QVERIFY(ledger.command(order(Command::Save, 300)));
        QVERIFY(ledger.busy());
        QVERIFY(ledger.live());
        QCOMPARE(ledger.view().mode, Mode::Playing);
        QVERIFY(ledger.command(order(Command::Pause, 310)));
        QVERIFY(!ledger.live());
    }

    // Whatever the operator presses and however the reports come, once the binding has
    // reported everything the view is the binding's state; and every press changes the
    // view the way the decision says. Thousands of random sessions.
    void viewConvergesOnTheBindingsState()
    {
        std::mt19937 random(14);
        const Command commands[] = {Command::Play, Command::Pause, Command::Stop,
                                    Command::Rewind, Command::Record, Command::Save};
        for (int round = 0; round < 3000; ++round) {
            Ledger ledger;
            Binding binding;
            binding.number = ledger.open();
            binding.handled = binding.number;
            binding.state = opened(qint64(random() % 3) * 500);
            std::vector<std::pair<quint64, Order>> inFlight;
            std::vector<Binding::Report> reports;
            reports.push_back(binding.report());
            for (int step = 0; step < 40; ++step) {
                switch (random() % 4) {
                case 0: { // the operator presses something
                    Order o = order(commands[random() % 6], qint64(random() % 1200),
                                    random() % 2 ? Output::Air : Output::Desk);
                    const State before = ledger.view();
                    const auto posted = ledger.command(o);
                    const Decision expected = decide(before, o);
                    QCOMPARE(bool(posted), expected.acts);
                    QCOMPARE(ledger.view(), expected.next);
                    if (posted)
                        inFlight.emplace_back(posted->sequence, o);
                    break;
                }
                case 1: // the binding carries out what reached it, and reports
                    if (!inFlight.empty()) {
                        binding.carryOut(inFlight.front().first, inFlight.front().second);
                        inFlight.erase(inFlight.begin());
                        reports.push_back(binding.report());
                    }
                    break;
                case 2: // news of its own: the sound ends
                    binding.state = playbackEnded(binding.state, random() % 2, qint64(random() % 1200));
                    reports.push_back(binding.report());
                    break;
                default: // reports arrive, now and then late, twice, or out of order
                    if (!reports.empty()) {
                        const size_t which = random() % 3 == 0 ? random() % reports.size() : 0;
                        const Binding::Report r = reports[which];
                        ledger.receive(binding.number, r.revision, r.handled, r.state);
                        if (random() % 4)
                            reports.erase(reports.begin() + qsizetype(which));
                    }
                    break;
                }
            }
            while (!inFlight.empty()) {
                binding.carryOut(inFlight.front().first, inFlight.front().second);
                inFlight.erase(inFlight.begin());
            }
            const Binding::Report last = binding.report();
            ledger.receive(binding.number, last.revision, last.handled, last.state);
            QCOMPARE(ledger.view(), binding.state);
            QVERIFY(!ledger.busy());
        }
    }
};

QTEST_GUILESS_MAIN(TestTransport)
#include "tst_transport.moc"
