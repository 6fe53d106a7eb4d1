#include "transport.h"

namespace transport {

namespace {

bool moving(Mode mode)
{
    return mode == Mode::Playing || mode == Mode::Recording;
}

// Where a stop or pause leaves the sound: where the window heard it, once it moved.
qint64 heldAt(const State &state, const Order &order)
{
    if (state.mode == Mode::Playing && order.at >= 0)
        return qBound<qint64>(state.position, order.at, qMax(state.position, state.length));
    return state.position;
}

// Ends the recording in progress. The take replaces everything after its start once it
// holds any audio, so the window's best guess of the new length is where it heard the
// recording reach; with nothing heard yet the content is as it was.
void endTake(Decision &d, const State &state, const Order &order)
{
    d.steps.endSound = true;
    d.steps.atTakeEnd = true;
    d.next.mode = Mode::Stopped;
    if (order.at > state.position)
        d.next.position = d.next.length = order.at;
}

void startPlaying(Decision &d, const Order &order)
{
    d.next.mode = Mode::Playing;
    d.next.output = order.output;
    d.steps.startPlaying = true;
}

void decidePlay(Decision &d, const State &state, const Order &order)
{
    switch (state.mode) {
    case Mode::Closed:
        return;
    case Mode::Opening:
        // The press waits for the open; what it does then is decided again over there.
        startPlaying(d, order);
        return;
    case Mode::Stopped:
        // At the end there is nothing to play: the stream would only start and end.
        if (state.position >= state.length)
            return;
        startPlaying(d, order);
        return;
    case Mode::Paused:
        if (state.output == order.output) {
            d.next.mode = Mode::Playing;
            d.steps.resumeSound = true;
        } else {
            // Paused at the desk and now wanted on air (or back): a stream of the other
            // output, or the radio would stay keyed over a message heard at the desk.
            d.steps.endSound = true;
            startPlaying(d, order);
        }
        return;
    case Mode::Playing:
        if (state.output == order.output)
            return;
        d.steps.endSound = true;
        d.next.position = heldAt(state, order);
        startPlaying(d, order);
        return;
    case Mode::Recording:
        // The take is kept and played from where it began.
        endTake(d, state, order);
        d.steps.atTakeEnd = false;
        d.next.position = state.position;
        startPlaying(d, order);
        return;
    }
}

} // namespace

Decision decide(const State &state, const Order &order)
{
    Decision d {state, {}, false};
    switch (order.command) {
    case Command::Play:
        decidePlay(d, state, order);
        break;
    case Command::Pause:
        if (state.mode == Mode::Playing) {
            d.next.mode = Mode::Paused;
            d.next.position = heldAt(state, order);
            d.steps.pauseSound = true;
        }
        break;
    case Command::Stop:
        if (state.mode == Mode::Playing || state.mode == Mode::Paused) {
            d.next.mode = Mode::Stopped;
            d.next.position = heldAt(state, order);
            d.steps.endSound = true;
        } else if (state.mode == Mode::Recording) {
            endTake(d, state, order);
        }
        break;
    case Command::Rewind:
        if (state.mode == Mode::Closed)
            break;
        if (state.mode == Mode::Recording) {
            endTake(d, state, order);
            d.steps.atTakeEnd = false;
        } else if (state.mode == Mode::Playing || state.mode == Mode::Paused) {
            d.steps.endSound = true;
        }
        if (state.mode != Mode::Opening)
            d.next.mode = Mode::Stopped;
        d.next.position = 0;
        break;
    case Command::Record:
        if (state.mode == Mode::Stopped || state.mode == Mode::Paused || state.mode == Mode::Opening) {
            d.steps.endSound = state.mode == Mode::Paused;
            d.next.mode = Mode::Recording;
            d.steps.startRecording = true;
        }
        break;
    case Command::Save:
        if (state.mode == Mode::Closed)
            break;
        // What plays goes on; a recording is ended so that it is saved whole.
        if (state.mode == Mode::Recording)
            endTake(d, state, order);
        d.steps.save = true;
        break;
    }
    d.acts = d.steps.any() || !(d.next == state);
    return d;
}

State opened(qint64 length)
{
    State state;
    state.mode = Mode::Stopped;
    state.length = qMax<qint64>(0, length);
    return state;
}

State takeEnded(State next, bool atTakeEnd, qint64 takeFrom, bool taken, qint64 contentFrames)
{
    if (!taken) {
        // Nothing reached the take (no server, no audio): the content is as it was.
        if (atTakeEnd)
            next.position = takeFrom;
        next.length = contentFrames;
        return next;
    }
    next.length = contentFrames;
    if (atTakeEnd)
        next.position = contentFrames;
    next.position = qMin(next.position, next.length);
    return next;
}

State playbackEnded(State state, bool playedOut, qint64 heardUpTo)
{
    if (!moving(state.mode) && state.mode != Mode::Paused)
        return state;
    state.mode = Mode::Stopped;
    state.position = playedOut ? state.length : qBound<qint64>(state.position, heardUpTo, state.length);
    return state;
}

// --- the window's view

quint64 Ledger::open()
{
    m_binding = ++m_issued;
    m_revision = 0;
    m_pending.clear();
    m_reported = State {};
    m_reported.mode = Mode::Opening;
    m_view = m_reported;
    return m_binding;
}

void Ledger::close()
{
    m_binding = 0;
    m_pending.clear();
    m_handled = m_issued;
    m_reported = State {};
    m_view = m_reported;
}

std::optional<Ledger::Posted> Ledger::command(const Order &order)
{
    if (m_binding == 0)
        return std::nullopt;
    const Decision decision = decide(m_view, order);
    if (!decision.acts)
        return std::nullopt;
    const quint64 sequence = ++m_issued;
    m_pending.emplace_back(sequence, order);
    m_view = decision.next;
    return Posted {sequence, decision};
}

bool Ledger::live() const
{
    if (m_binding == 0 || !moving(m_reported.mode))
        return false;
    State state = m_reported;
    for (const auto &[sequence, order] : m_pending) {
        const Decision d = decide(state, order);
        const Steps &s = d.steps;
        if (s.endSound || s.pauseSound || s.resumeSound || s.startPlaying || s.startRecording)
            return false;
        state = d.next;
    }
    return true;
}

bool Ledger::receive(quint64 binding, quint64 revision, quint64 handled, const State &state)
{
    if (binding == 0 || binding != m_binding || revision <= m_revision || handled < m_handled)
        return false;
    m_revision = revision;
    m_handled = handled;
    m_reported = state;
    while (!m_pending.empty() && m_pending.front().first <= handled)
        m_pending.pop_front();
    State view = m_reported;
    for (const auto &[sequence, order] : m_pending)
        view = decide(view, order).next;
    const bool changed = !(view == m_view);
    m_view = view;
    return changed;
}

} // namespace transport
