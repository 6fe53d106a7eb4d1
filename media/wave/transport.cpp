#include "transport.h"

namespace transport {

namespace {

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
    d.steps.from = d.next.position;
    d.steps.output = order.output;
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
            d.steps.from = state.position;
            d.steps.output = state.output;
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
            d.steps.from = state.position;
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

// --- the one state

quint64 Player::open()
{
    close();
    m_binding = ++m_issued;
    m_state.mode = Mode::Opening;
    return m_binding;
}

void Player::close()
{
    m_binding = m_sounding = m_placeFrom = m_lengthFrom = 0;
    m_handled = m_issued;
    m_state = State {};
}

void Player::command(const Order &order)
{
    if (m_binding == 0)
        return;
    Decision d = decide(m_state, order);
    if (!d.acts)
        return;
    Steps &steps = d.steps;
    if (steps.any())
        steps.number = ++m_issued;
    if (m_state.mode == Mode::Recording && steps.endSound)
        m_lengthFrom = steps.number;
    if (steps.atTakeEnd)
        m_placeFrom = steps.number;
    else if (order.command == Command::Rewind
             || (m_state.mode == Mode::Playing && order.at >= 0 && order.command != Command::Save))
        m_placeFrom = 0; // the window's own place: where it heard the sound, or the start
    if (steps.startPlaying || steps.startRecording || steps.resumeSound) {
        m_sounding = steps.number;
        if (m_placeFrom != 0)
            steps.from = kWhereItStands;
    } else if (steps.endSound) {
        m_sounding = 0;
    }
    m_state = d.next;
    if (steps.any())
        carryOut(steps);
    changed();
}

void Player::take(const Fact &fact)
{
    if (m_binding == 0 || fact.binding != m_binding || fact.handled < m_handled)
        return;
    if (fact.kind == Fact::Kind::OpenFailed) {
        close();
        changed();
        return;
    }
    m_handled = fact.handled;
    State next = m_state;
    if (fact.kind == Fact::Kind::Opened && next.mode == Mode::Opening)
        next.mode = Mode::Stopped;
    if (fact.kind == Fact::Kind::SoundEnded && fact.step == m_sounding && m_sounding != 0) {
        next.mode = Mode::Stopped;
        next.position = fact.at;
        m_sounding = 0;
    }
    if (fact.handled >= m_lengthFrom)
        next.length = fact.length;
    if (m_placeFrom != 0 && fact.handled >= m_placeFrom) {
        next.position = fact.at;
        m_placeFrom = 0;
    }
    // Nothing stands or starts past the content's end, whatever the window heard.
    next.position = qBound<qint64>(0, next.position, next.length);
    if (!(next == m_state)) {
        m_state = next;
        changed();
    }
}

} // namespace transport
