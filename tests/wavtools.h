#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace wavtools {

// A 44-byte PCM 16-bit WAV header that says what the caller wants it to, true or not.
inline QByteArray wavHeader(quint32 dataBytes, quint16 channels, quint32 rate)
{
    QByteArray h;
    const auto u32 = [&h](quint32 v) { h.append(reinterpret_cast<const char *>(&v), 4); };
    const auto u16 = [&h](quint16 v) { h.append(reinterpret_cast<const char *>(&v), 2); };
    h += "RIFF";
    u32(36 + dataBytes);
    h += "WAVEfmt ";
    u32(16);
    u16(1);
    u16(channels);
    u32(rate);
    u32(rate * channels * 2);
    u16(quint16(channels * 2));
    u16(16);
    h += "data";
    u32(dataBytes);
    return h;
}

} // namespace wavtools
