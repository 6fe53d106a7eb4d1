#include "shutdownsignals.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_pipe[2] = {-1, -1};
volatile sig_atomic_t g_requested = 0;
std::atomic<void (*)()> g_firstResponder {nullptr};
static_assert(std::atomic<void (*)()>::is_always_lock_free);
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Only async-signal-safe calls here: one write of the signal number, errno kept.
void onSignal(int number)
{
    const int saved = errno;
    g_requested = 1;
    if (const auto responder = g_firstResponder.load())
        responder();
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

} // namespace

ShutdownSignals::ShutdownSignals(QObject *parent) : QObject(parent)
{
    if (g_pipe[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_pipe) != 0)
        return;
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &ShutdownSignals::onReadable);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : kSignals)
        ::sigaction(number, &action, nullptr);
}

ShutdownSignals::~ShutdownSignals()
{
    if (!m_notifier)
        return;
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (const int number : kSignals)
        ::sigaction(number, &action, nullptr);
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

void ShutdownSignals::setFirstResponder(void (*responder)())
{
    g_firstResponder.store(responder);
}

bool ShutdownSignals::requested()
{
    return g_requested != 0;
}

void ShutdownSignals::onReadable()
{
    unsigned char byte = 0;
    while (::read(g_pipe[0], &byte, 1) == 1)
        emit shutdownRequested(int(byte));
}
