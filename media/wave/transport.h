#pragma once

#include "audiodevice.h"

#include <functional>

// The wave device's one state and every decision about it, kept on the window's thread.
// Fed with the operator's commands and with the facts the binding's thread reports, the
// Player decides the next state and the steps that carry it out, and hands those out
// numbered; the binding's thread only carries steps out and reports facts, each tagged
// with the step it answers. Nothing here waits, plays or touches a file.
//
// How facts are taken (they come in the order the binding made them):
// - A fact of another binding, or older than the newest one taken, is dropped whole.
// - The content's length is only ever known over there. A fact's length is taken unless
//   a take was ended by a step the binding had not reached when it made the fact: then
//   the window's guess (where it heard the take reach) stands until one that has.
// - Where a take ended too is known only over there. A stop or save that ends a take
//   leaves the position to the binding: until a fact that has carried that step out,
//   the position is the window's guess, and a play or record meanwhile says "from where
//   the sound stands", which the binding resolves. Any step that sets the place itself
//   (a rewind, a pause or stop of what plays) takes that back from the binding.
// - A stream's own end (played out, cut, lost) is tagged with the step that started or
//   resumed it, and stops the state only while that stream is still the one the state
//   shows. Ended by a later step (a stop at the very end of a message), it is dropped:
//   the operator's step holds, where the window heard the sound.
// - A stream a later step silenced before it could start reports nothing: that step
//   (a pause while the stream is made) decides, and the resume makes one anew.
namespace transport {

using Mode = IAudioDevice::Mode;
using Output = IAudioDevice::Output;

enum class Command { Play, Pause, Stop, Rewind, Record, Save };

// "From where the sound stands on the binding's side": a place only it knows.
constexpr qint64 kWhereItStands = -1;

struct Order
{
    Command command = Command::Stop;
    Output output = Output::Desk; // Play: where it goes
    // Where the window heard the sound when it gave the order, frames: the place a pause
    // or a stop keeps, whatever the binding's thread has reached by the time it gets there.
    qint64 at = -1;
};

struct State
{
    Mode mode = Mode::Closed;
    // Where the sound stands; while playing or recording, where that stream began.
    qint64 position = 0;
    qint64 length = 0;
    Output output = Output::Desk; // of the stream playing or paused
    bool operator==(const State &) const = default;
};

// What the binding's thread does to carry out one command, in this order.
struct Steps
{
    quint64 number = 0;          // the tag its facts carry
    bool endSound = false;       // end the stream playing or recording; a take is kept
    bool pauseSound = false;
    bool resumeSound = false;    // the paused stream, or a new one from `from` where there is none
    bool startPlaying = false;   // a new stream from `from`, to the output
    bool startRecording = false; // from `from`
    bool save = false;
    qint64 from = 0;             // or kWhereItStands
    Output output = Output::Desk;
    // The take ends here and the place is where it ended: the window's own bookkeeping.
    bool atTakeEnd = false;
    bool any() const { return endSound || pauseSound || resumeSound || startPlaying || startRecording || save; }
    // The window's thread silences at once rather than wait for the queue.
    bool silences() const { return endSound || pauseSound; }
};

struct Decision
{
    State next;
    Steps steps;
    bool acts = false; // anything to carry out, or the state changes
};

// What an order does in a state. An order that does nothing there leaves both alone.
Decision decide(const State &state, const Order &order);

// What the binding's thread learned.
struct Fact
{
    enum class Kind {
        Opened,     // the file is open: length
        OpenFailed, // the binding has ended; nothing posted to it is carried out
        Carried,    // steps up to `handled` are carried out: where the sound stands, length
        SoundEnded, // the stream of step `step` ended by itself, the sound standing at `at`
    };
    Kind kind = Kind::Carried;
    quint64 binding = 0;
    quint64 step = 0;    // SoundEnded: the step whose stream it was
    quint64 handled = 0; // the last step carried out (the open's number at first)
    qint64 at = 0;
    qint64 length = 0;
};

class Player
{
public:
    // Called with every step to carry out, in order, then `changed` if the state moved.
    std::function<void(const Steps &)> carryOut = [](const Steps &) {};
    std::function<void()> changed = [] {};

    // A new binding, Opening: its number, which its facts carry.
    quint64 open();
    void close();
    void command(const Order &order);
    void take(const Fact &fact);

    const State &state() const { return m_state; }
    quint64 binding() const { return m_binding; }
    // The step whose stream the state shows playing or recording; 0 without one. Its
    // position may be read as it goes from the binding's stream of that step, and only
    // from that one.
    quint64 live() const
    {
        return m_state.mode == Mode::Playing || m_state.mode == Mode::Recording ? m_sounding : 0;
    }
    // Something handed out has not been reported carried out yet.
    bool busy() const { return m_handled < m_issued; }

private:
    State m_state;
    quint64 m_issued = 0;
    quint64 m_binding = 0;
    quint64 m_handled = 0;
    quint64 m_sounding = 0;   // the step of the stream playing, paused or recording
    quint64 m_placeFrom = 0;  // the step whose carrying out settles the position; 0: known
    quint64 m_lengthFrom = 0; // the last step that ended a take
};

} // namespace transport
