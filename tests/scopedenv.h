#pragma once

#include <QByteArray>
#include <QtGlobal>

// An environment variable set, or without a value removed, while the object lives; what
// was there before comes back however the test leaves.
struct ScopedEnv
{
    ScopedEnv(const char *name, const QByteArray &value) : ScopedEnv(name) { qputenv(name, value); }
    explicit ScopedEnv(const char *name) : name(name), had(qEnvironmentVariableIsSet(name)), old(qgetenv(name)) { qunsetenv(name); }
    ~ScopedEnv() { had ? void(qputenv(name, old)) : void(qunsetenv(name)); }
    Q_DISABLE_COPY(ScopedEnv)
    const char *name;
    const bool had;
    const QByteArray old;
};
