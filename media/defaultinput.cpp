#include "defaultinput.h"

#include <QElapsedTimer>

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>

namespace {

constexpr qint64 kTimeoutMs = 500;

struct Query
{
    QByteArray source;
    bool done = false;
};

void onServerInfo(pa_context *, const pa_server_info *info, void *userdata)
{
    auto *query = static_cast<Query *>(userdata);
    if (info && info->default_source_name)
        query->source = info->default_source_name;
    query->done = true;
}

} // namespace

QByteArray serverDefaultSource()
{
    pa_mainloop *loop = pa_mainloop_new();
    if (!loop)
        return {};
    pa_context *context = pa_context_new(pa_mainloop_get_api(loop), "Vendrel9");
    Query query;
    pa_operation *operation = nullptr;
    if (context && pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        QElapsedTimer clock;
        clock.start();
        // Each poll waits at most 20 ms, so a silent server cannot hold the window long.
        while (!query.done && clock.elapsed() < kTimeoutMs) {
            if (pa_mainloop_prepare(loop, 20000) < 0 || pa_mainloop_poll(loop) < 0
                || pa_mainloop_dispatch(loop) < 0)
                break;
            const pa_context_state_t state = pa_context_get_state(context);
            if (!PA_CONTEXT_IS_GOOD(state))
                break;
            if (state == PA_CONTEXT_READY && !operation)
                operation = pa_context_get_server_info(context, onServerInfo, &query);
        }
    }
    if (operation) {
        pa_operation_cancel(operation);
        pa_operation_unref(operation);
    }
    if (context) {
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
    pa_mainloop_free(loop);
    return query.source;
}
