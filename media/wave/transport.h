#pragma once

#include "audiodevice.h"

#include <deque>
#include <optional>

// The wave device's decisions, all of them and nothing else: what each command does in
// each mode, the numbers that keep commands and reports in order, and how the window's
// view of the device follows what the binding's thread reports. Nothing here waits,
// plays or touches a file; the binding's thread and the sound engine carry out what it
// decides, and both sides decide with the same function.
namespace transport {

using Mode = IAudioDevice::Mode;
using Output = IAudioDevice::Output;

enum class Command { Play, Pause, Stop, Rewind, Record, Save };

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

// What the binding's thread does to carry out an order, in this order.
struct Steps
{
    bool endSound = false;       // end the stream playing or recording; a take is kept
    bool pauseSound = false;
    bool resumeSound = false;    // the paused stream, or a new one where there is none
    bool startPlaying = false;   // a new stream from the position, to the output
    bool startRecording = false; // from the position
    bool save = false;
    // The recording ended here: position and length are where the take ended, which
    // only the binding's thread knows exactly.
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

// The facts only the binding's thread learns, as the states they make.
// The file is open: stopped at its start.
State opened(qint64 length);
// A recording has ended (the take holds what was taken, if anything): where the next
// state stands when the decision put it at the take's end, and how long the content is.
State takeEnded(State next, bool atTakeEnd, qint64 takeFrom, bool taken, qint64 contentFrames);
// A playback stream ended by itself: played out to the end, or cut where it was heard up to.
State playbackEnded(State state, bool playedOut, qint64 heardUpTo);

// The window's side: its view of one binding, the sequence numbers of what it posts, and
// the reports of the binding's thread reconciled with what the operator did since. The
// view is always the binding's last report with every command it had not carried out
// yet replayed on top, so a late report never undoes what the operator just did.
class Ledger
{
public:
    struct Posted
    {
        quint64 sequence = 0;
        Decision decision;
    };

    // A new binding, Opening; the number is its open's, which its reports carry.
    quint64 open();
    void close();
    // The operator's order against the view: what to post, with its number, or nothing
    // when it would do nothing.
    std::optional<Posted> command(const Order &order);
    // A report of binding `binding`, its `revision`th: its state once it had carried out
    // the order numbered `handled`. True when the view changed. Reports of another
    // binding, and any not newer than the last one taken, are dropped.
    bool receive(quint64 binding, quint64 revision, quint64 handled, const State &state);

    const State &view() const { return m_view; }
    quint64 binding() const { return m_binding; }
    // Something posted has not been reported carried out yet.
    bool busy() const { return m_handled < m_issued; }
    // The sound the view shows moving is the stream the binding's thread has now, and no
    // order waiting to be carried out changes it: its position may be read as it goes.
    bool live() const;

private:
    quint64 m_issued = 0;
    quint64 m_binding = 0;
    quint64 m_revision = 0;
    quint64 m_handled = 0;
    State m_reported;
    std::deque<std::pair<quint64, Order>> m_pending;
    State m_view;
};

} // namespace transport
