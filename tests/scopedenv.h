#pragma once

#include <QByteArray>
#include <QtGlobal>

// An environment variable set (or, given no value, removed) for the life of the object;
// what was there before comes back, whatever way the test leaves.
class ScopedEnv
{
public:
    ScopedEnv(const char *name, const QByteArray &value) : ScopedEnv(name) { qputenv(name, value); }
    explicit ScopedEnv(const char *name) : m_name(name), m_had(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name))
    {
        qunsetenv(name);
    }
    ~ScopedEnv()
    {
        if (m_had)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    const char *m_name;
    bool m_had;
    QByteArray m_old;
};
