#pragma once

#include <QByteArray>

// The sound server's own default source. Qt 6.4 reports the first PulseAudio source as
// the default input whatever the server says, so the name is asked of the server itself.
// Empty when no server answers within a short time.
QByteArray serverDefaultSource();
