#pragma once

#include <QByteArray>
#include <QList>

#include <cstring>

// How the program and its helpers frame what they say to each other over their socket:
// a message is a list of fields, sent as its length (four bytes, little-endian) and the
// fields each ended by a NUL. A NUL is the one byte no path can hold, so a file or device
// name passes whole, newlines and all. Header-only: the helpers link nothing of ours.
namespace frames {

using Fields = QList<QByteArray>;

// Longer than any path: a longer length is a broken peer, not a message.
constexpr quint32 kMaxMessage = 1 << 20;

inline QByteArray encode(const Fields &fields)
{
    QByteArray body;
    for (const QByteArray &field : fields)
        body += field + '\0';
    const quint32 size = quint32(body.size());
    const char length[4] = {char(size & 0xFF), char((size >> 8) & 0xFF), char((size >> 16) & 0xFF),
                            char((size >> 24) & 0xFF)};
    return QByteArray(length, 4) + body;
}

enum class Take { Message, NeedMore, Broken };

// Takes the first whole message off the front of `buffer`.
inline Take take(QByteArray &buffer, Fields *fields)
{
    if (buffer.size() < 4)
        return Take::NeedMore;
    const auto byte = [&](int i) { return quint32(quint8(buffer.at(i))); };
    const quint32 size = byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24;
    if (size > kMaxMessage)
        return Take::Broken;
    if (buffer.size() < 4 + qsizetype(size))
        return Take::NeedMore;
    if (size > 0 && buffer.at(3 + qsizetype(size)) != '\0')
        return Take::Broken;
    const QByteArray body = buffer.mid(4, size);
    buffer.remove(0, 4 + qsizetype(size));
    fields->clear();
    qsizetype start = 0;
    while (start < body.size()) {
        const qsizetype end = body.indexOf('\0', start);
        fields->append(body.mid(start, end - start));
        start = end + 1;
    }
    return Take::Message;
}

} // namespace frames
