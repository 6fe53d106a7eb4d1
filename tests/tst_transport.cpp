// The wave device's one state on its own, no threads, no sound server, no files: what
// each command decides and hands out, and how the facts of the binding's thread, late
// or superseded, move the state.
#include "transport.h"

#include <QtTest>

#include <optional>
#include <random>
#include <vector>

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

// A Player bound and watched: the steps it hands out, in order, and the facts fed back
// as the binding's thread makes them, having carried out everything handed out so far
// unless told otherwise.
struct Rig
{
    Player player;
    std::vector<Steps> handed;
    int changes = 0;
    quint64 binding = 0;

    Rig()
    {
        player.carryOut = [this](const Steps &steps) { handed.push_back(steps); };
        player.changed = [this] { ++changes; };
        binding = player.open();
    }
    explicit Rig(qint64 length) : Rig() { fact(Fact::Kind::Opened, 0, length); }

    quint64 last() const { return handed.empty() ? binding : handed.back().number; }
    void command(Command c, qint64 heardAt = -1, Output output = Output::Desk) { player.command(order(c, heardAt, output)); }
    void fact(Fact::Kind kind, qint64 where, qint64 length, quint64 step = 0, std::optional<quint64> handled = {})
    {
        player.take(Fact {kind, binding, step, handled.value_or(last()), where, length});
    }
    // Stopped at a place, by way of a play the window stopped there.
    void stoppedAt(qint64 place)
    {
        command(Command::Play);
        command(Command::Stop, place);
    }
    const State &state() const { return player.state(); }
};

// The binding's thread, as a script: it carries out the steps handed out and reports
// facts as the real one does, with takes that hold something or nothing.
struct Binding
{
    quint64 number = 0;
    quint64 handled = 0;
    qint64 length = 0;
    qint64 at = 0;
    quint64 stream = 0;
    bool recording = false;
    bool paused = false;
    qint64 takeFrom = 0;
    std::mt19937 *random = nullptr;

    Fact fact(Fact::Kind kind, quint64 step = 0) const { return Fact {kind, number, step, handled, at, length}; }
    Mode mode() const { return !stream ? Mode::Stopped : recording ? Mode::Recording : paused ? Mode::Paused : Mode::Playing; }
    void endTake(bool atTakeEnd)
    {
        const qint64 taken = (*random)() % 3 ? qint64((*random)() % 600) : 0;
        if (taken > 0)
            length = takeFrom + taken;
        at = atTakeEnd && taken > 0 ? length : takeFrom;
    }
    void play(const Steps &s, std::vector<Fact> &told)
    {
        at = s.from == kWhereItStands ? at : s.from;
        paused = false;
        if (at >= length) {
            at = length;
            told.push_back(fact(Fact::Kind::SoundEnded, s.number));
        } else {
            stream = s.number;
        }
    }
    void carryOut(const Steps &s, std::vector<Fact> &told)
    {
        handled = s.number;
        if (s.endSound && stream) {
            if (recording)
                endTake(s.atTakeEnd);
            stream = 0;
            recording = paused = false;
        }
        if (s.pauseSound && stream)
            paused = true;
        if (s.resumeSound && stream) {
            paused = false;
            stream = s.number;
        } else if (s.resumeSound || s.startPlaying) {
            play(s, told);
        }
        if (s.startRecording) {
            takeFrom = at = s.from == kWhereItStands ? at : s.from;
            stream = s.number;
            recording = true;
        }
        told.push_back(fact(Fact::Kind::Carried));
    }
    void endByItself(bool playedOut, qint64 heard, std::vector<Fact> &told)
    {
        if (!stream)
            return;
        if (recording)
            endTake(true);
        else
            at = playedOut ? length : qBound(at, heard, length);
        const quint64 step = std::exchange(stream, 0);
        recording = paused = false;
        told.push_back(fact(Fact::Kind::SoundEnded, step));
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
        QCOMPARE(d.steps.from, qint64(20));
        // The binding then tells how much the take really holds (all it held before, when
        // it holds nothing).
        for (const qint64 length : {66, 100}) {
            Rig rig(100);
            rig.stoppedAt(20);
            rig.command(Command::Record);
            rig.command(Command::Play, 70, Output::Air);
            QCOMPARE(rig.handed.back().from, qint64(20));
            rig.fact(Fact::Kind::Carried, 20, length);
            QCOMPARE(rig.state(), at(Mode::Playing, 20, length, Output::Air));
        }
    }

    // A recording stopped before any audio came (no server, a frozen one) leaves the
    // message as it was, and the place where the take would have begun.
    void recordingStoppedBeforeAnyAudioKeepsTheMessage()
    {
        for (const auto &[where, length] : {std::pair<qint64, qint64> {30, 100}, {45, 45}}) {
            Rig rig(100);
            rig.stoppedAt(30);
            rig.command(Command::Record);
            rig.command(Command::Stop, 30);
            QCOMPARE(rig.state(), at(Mode::Stopped, 30, 100));
            rig.fact(Fact::Kind::Carried, where, length);
            QCOMPARE(rig.state(), at(Mode::Stopped, where, length));
        }
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
        Rig rig(100);
        rig.stoppedAt(10);
        rig.command(Command::Record);
        rig.command(Command::Rewind, 50);
        rig.fact(Fact::Kind::Carried, 10, 50); // where the take began, as it stands there
        QCOMPARE(rig.state(), at(Mode::Stopped, 0, 50));
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
        for (const qint64 where : {100, 60}) { // played out, or cut where it was heard
            Rig rig(100);
            rig.stoppedAt(10);
            rig.command(Command::Play);
            rig.fact(Fact::Kind::SoundEnded, where, 100, rig.last());
            QCOMPARE(rig.state(), at(Mode::Stopped, where, 100));
            QCOMPARE(rig.player.live(), quint64(0));
        }
        // The end of a stream the state no longer shows moves nothing.
        Rig rig(100);
        rig.stoppedAt(10);
        rig.fact(Fact::Kind::SoundEnded, 60, 100, rig.handed.front().number);
        QCOMPARE(rig.state(), at(Mode::Stopped, 10, 100));
    }

    // --- the one state, fed with facts

    // Presses while the file is still opening are handed out at once and carried out
    // once it is open; an empty file plays nothing, a file that does not open ends
    // everything given meanwhile, and the device is idle again.
    void pressesWhileOpeningWaitForTheOpen()
    {
        Rig rig;
        QCOMPARE(rig.state().mode, Mode::Opening);
        QVERIFY(rig.player.busy());
        rig.command(Command::Play);
        QCOMPARE(rig.state().mode, Mode::Playing);
        QVERIFY(rig.handed.back().startPlaying);
        QCOMPARE(rig.handed.back().from, qint64(0));
        const quint64 play = rig.last();
        rig.fact(Fact::Kind::Opened, 0, 100, 0, rig.binding);
        QCOMPARE(rig.state(), at(Mode::Playing, 0, 100));
        QVERIFY(rig.player.busy());
        rig.fact(Fact::Kind::Carried, 0, 100);
        QVERIFY(!rig.player.busy());
        QCOMPARE(rig.player.live(), play);

        Rig empty;
        empty.command(Command::Play);
        empty.fact(Fact::Kind::Opened, 0, 0, 0, empty.binding);
        empty.fact(Fact::Kind::SoundEnded, 0, 0, empty.last());
        QCOMPARE(empty.state(), at(Mode::Stopped, 0, 0));

        Rig failed;
        for (const Command c : {Command::Play, Command::Save, Command::Pause, Command::Stop, Command::Record,
                                Command::Stop, Command::Save})
            failed.command(c);
        QCOMPARE(failed.handed.size(), size_t(7));
        failed.fact(Fact::Kind::OpenFailed, 0, 0, 0, failed.binding);
        QCOMPARE(failed.state().mode, Mode::Closed);
        QVERIFY(!failed.player.busy());
        failed.command(Command::Play);
        QCOMPARE(failed.handed.size(), size_t(7));
        QVERIFY(failed.player.open() > failed.binding);
    }

    // A fact answering a step the operator has overtaken never undoes what the operator
    // did: a stop at the very end of a message holds where the window heard it, though
    // the message was reported played out after it.
    void lateFactNeverUndoesTheOperator()
    {
        Rig rig(1000);
        rig.command(Command::Play);
        const quint64 play = rig.last();
        rig.command(Command::Stop, 990);
        QVERIFY(rig.handed.back().endSound); // silenced at once by the window
        QCOMPARE(rig.state(), at(Mode::Stopped, 990, 1000));
        QCOMPARE(rig.player.live(), quint64(0));
        const int changes = rig.changes;
        rig.fact(Fact::Kind::SoundEnded, 1000, 1000, play, play);
        rig.fact(Fact::Kind::Carried, 1000, 1000);
        QCOMPARE(rig.state(), at(Mode::Stopped, 990, 1000));
        QCOMPARE(rig.changes, changes); // nothing for the window to redraw
        QVERIFY(!rig.player.busy());
    }

    void olderFactsAndOtherBindingsAreDropped()
    {
        Rig rig(1000);
        rig.command(Command::Play);
        const quint64 play = rig.last();
        rig.fact(Fact::Kind::SoundEnded, 1000, 1000, play);
        QCOMPARE(rig.state(), at(Mode::Stopped, 1000, 1000));
        // News older than what was taken: the opening's length.
        rig.fact(Fact::Kind::Carried, 0, 5, 0, rig.binding);
        QCOMPARE(rig.state(), at(Mode::Stopped, 1000, 1000));
        // A binding let go of is not heard at all.
        const quint64 old = rig.binding;
        rig.binding = rig.player.open();
        QVERIFY(rig.binding > old);
        rig.player.take(Fact {Fact::Kind::Opened, old, 0, old, 0, 5});
        QCOMPARE(rig.state().mode, Mode::Opening);
        rig.player.close();
        rig.fact(Fact::Kind::Opened, 0, 5);
        QCOMPARE(rig.state().mode, Mode::Closed);
        QVERIFY(!rig.player.busy());
        const size_t handed = rig.handed.size();
        rig.command(Command::Play);
        QCOMPARE(rig.handed.size(), handed);
    }

    // The message ends by itself while the operator's pause is on its way: stopped at
    // the end, not paused short of it.
    void endBeforeAPendingPauseEndsStopped()
    {
        Rig rig(1000);
        rig.command(Command::Play);
        const quint64 play = rig.last();
        rig.fact(Fact::Kind::Carried, 0, 1000);
        rig.command(Command::Pause, 990);
        QCOMPARE(rig.state(), at(Mode::Paused, 990, 1000));
        rig.fact(Fact::Kind::SoundEnded, 1000, 1000, play, play);
        QCOMPARE(rig.state(), at(Mode::Stopped, 1000, 1000));
        rig.fact(Fact::Kind::Carried, 1000, 1000);
        QCOMPARE(rig.state(), at(Mode::Stopped, 1000, 1000));
    }

    // A pause while the binding is still making the stream: that stream never starts and
    // says nothing, the pause holds, and the play after it makes one anew from there,
    // which is the stream the state then follows.
    void pauseWhileTheStreamIsMade()
    {
        Rig rig(1000);
        rig.command(Command::Play);
        const quint64 play = rig.last();
        rig.command(Command::Pause);
        QVERIFY(rig.handed.back().pauseSound);
        rig.fact(Fact::Kind::Carried, 0, 1000);
        QCOMPARE(rig.state(), at(Mode::Paused, 0, 1000));
        rig.command(Command::Play);
        const Steps resume = rig.handed.back();
        QVERIFY(resume.resumeSound && resume.from == 0);
        QCOMPARE(rig.player.live(), resume.number);
        // Had the first stream gone out after all, its end is no longer the state's.
        rig.fact(Fact::Kind::SoundEnded, 1000, 1000, play, play);
        QCOMPARE(rig.state(), at(Mode::Playing, 0, 1000));
    }

    // Recording, then stop and play before the binding has said where the take ended:
    // the play starts from where the sound stands over there, and the state follows the
    // take's true end and length once told, whether the take held more or nothing.
    void recordStopPlayQuickly()
    {
        for (const auto &[where, length] : {std::pair<qint64, qint64> {300, 300}, {0, 1000}}) {
            Rig rig(1000);
            rig.command(Command::Record);
            rig.command(Command::Stop);
            QVERIFY(rig.handed.back().atTakeEnd);
            rig.command(Command::Play);
            QCOMPARE(rig.handed.back().from, kWhereItStands);
            QCOMPARE(rig.state(), at(Mode::Playing, 0, 1000));
            // Paused and resumed before any sound was heard: still from over there.
            rig.command(Command::Pause);
            rig.command(Command::Play);
            QCOMPARE(rig.handed.back().from, kWhereItStands);
            if (where >= length)
                rig.fact(Fact::Kind::SoundEnded, where, length, rig.last());
            rig.fact(Fact::Kind::Carried, where, length);
            QCOMPARE(rig.state(), at(where >= length ? Mode::Stopped : Mode::Playing, where, length));
            QVERIFY(!rig.player.busy());
        }
        // A rewind meanwhile is the operator's place, whatever the take's end.
        Rig rig(1000);
        rig.command(Command::Record);
        rig.command(Command::Stop, 250);
        QCOMPARE(rig.state(), at(Mode::Stopped, 250, 250));
        rig.command(Command::Rewind);
        rig.command(Command::Play);
        QCOMPARE(rig.handed.back().from, qint64(0));
        rig.fact(Fact::Kind::Carried, 0, 300);
        QCOMPARE(rig.state(), at(Mode::Playing, 0, 300));
    }

    // A save changes no stream: the position goes on live, and a close after it leaves
    // nothing waited for here (the save itself is the binding's to finish).
    void saveKeepsThePositionLiveAndCloseAfterIt()
    {
        Rig rig(1000);
        rig.command(Command::Play, -1, Output::Air);
        const quint64 play = rig.last();
        rig.fact(Fact::Kind::Carried, 0, 1000);
        rig.command(Command::Save, 300);
        QVERIFY(rig.handed.back().save && !rig.handed.back().silences());
        QVERIFY(rig.player.busy());
        QCOMPARE(rig.player.live(), play);
        QCOMPARE(rig.state(), at(Mode::Playing, 0, 1000, Output::Air));
        rig.command(Command::Pause, 310);
        QCOMPARE(rig.player.live(), quint64(0));
        rig.command(Command::Save);
        rig.player.close();
        QVERIFY(!rig.player.busy());
        rig.fact(Fact::Kind::Carried, 0, 1000);
        QCOMPARE(rig.state(), State {});
    }

    // Whatever the operator presses and whenever the binding's facts come (in the order
    // it made them), every press moves the state the way the decision says, and once the
    // binding has carried everything out and its facts are in, the state is the binding's:
    // the same mode, length and stream. Thousands of random sessions.
    void stateConvergesOnTheBindings()
    {
        std::mt19937 random(14);
        const Command commands[] = {Command::Play, Command::Pause, Command::Stop,
                                    Command::Rewind, Command::Record, Command::Save};
        const int rounds = qEnvironmentVariableIntValue("V9_STRESS_ROUNDS") > 0 ? 10 * qEnvironmentVariableIntValue("V9_STRESS_ROUNDS") : 3000;
        for (int round = 0; round < rounds; ++round) {
            Rig rig;
            Binding binding;
            binding.random = &random;
            binding.number = binding.handled = rig.binding;
            binding.length = qint64(random() % 3) * 500;
            const bool opens = random() % 8 != 0;
            std::vector<Fact> told {binding.fact(opens ? Fact::Kind::Opened : Fact::Kind::OpenFailed)};
            size_t carried = 0;
            for (int step = 0; step < 40; ++step) {
                switch (random() % 4) {
                case 0: { // the operator presses something
                    const Order o = order(commands[random() % 6], qint64(random() % 1200),
                                          random() % 2 ? Output::Air : Output::Desk);
                    const State before = rig.state();
                    const size_t handed = rig.handed.size();
                    rig.player.command(o);
                    const Decision expected = rig.player.binding() ? decide(before, o) : Decision {before, {}, false};
                    QCOMPARE(rig.state(), expected.next);
                    QCOMPARE(rig.handed.size(), handed + (expected.steps.any() ? 1 : 0));
                    break;
                }
                case 1: // the binding carries out what reached it
                    if (opens && carried < rig.handed.size())
                        binding.carryOut(rig.handed[carried++], told);
                    break;
                case 2: // news of its own: the sound ends
                    binding.endByItself(random() % 2, qint64(random() % 1200), told);
                    break;
                default: // facts arrive, some at a time
                    for (size_t n = random() % 3; n > 0 && !told.empty(); --n) {
                        rig.player.take(told.front());
                        told.erase(told.begin());
                    }
                    break;
                }
            }
            while (opens && carried < rig.handed.size())
                binding.carryOut(rig.handed[carried++], told);
            for (const Fact &fact : told)
                rig.player.take(fact);
            QVERIFY(!rig.player.busy());
            if (!opens) {
                QCOMPARE(rig.state(), State {});
                continue;
            }
            QCOMPARE(rig.state().mode, binding.mode());
            QCOMPARE(rig.state().length, binding.length);
            QVERIFY(rig.state().position <= rig.state().length);
            if (binding.mode() == Mode::Playing || binding.mode() == Mode::Recording)
                QCOMPARE(rig.player.live(), binding.stream);
        }
    }
};

QTEST_GUILESS_MAIN(TestTransport)
#include "tst_transport.moc"
