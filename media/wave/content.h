#pragma once

#include <QString>
#include <QtGlobal>
#include <QTemporaryFile>
#include <memory>

struct sf_private_tag;

// What the device holds: the frames of the bound file, with an optional recorded take
// that replaces everything from frame split() onwards. The take lives in a temporary file
// of raw float frames, so a long recording costs disk, not memory.
class Content
{
public:
    Content() = default;
    ~Content();
    Content(const Content &) = delete;
    Content &operator=(const Content &) = delete;

    // Opens an existing regular file; never blocks on FIFOs or devices.
    bool openFile(const QString &path);
    // An empty 48 kHz mono 16-bit content for a file still to be written.
    void openNew(const QString &path);
    void close();

    bool isOpen() const { return m_open; }
    QString path() const { return m_path; }
    int sampleRate() const { return m_rate; }
    int channels() const { return m_channels; }
    qint64 frames() const;
    bool isModified() const { return m_take != nullptr; }

    // Reads up to n frames at frame from; returns how many were read (fewer at the end,
    // or where the file holds less than its header claims). Not thread-safe: one reader.
    qint64 read(qint64 from, float *out, qint64 n);

    // Starts a take at frame from: what lies after it is dropped.
    bool beginTake(qint64 from);
    // Appends interleaved frames to the take.
    bool appendTake(const float *frames, qint64 n);

    // Writes the whole content into the bound path atomically; on success the content is
    // the saved file. On failure the old file is untouched and the take is kept.
    bool save(QString *error);

private:
    bool adoptFile(const QString &path, int fd);

    bool m_open = false;
    QString m_path;
    sf_private_tag *m_file = nullptr;
    qint64 m_fileFrames = 0;
    qint64 m_cursor = -1; // where the next sequential read of m_file lands
    int m_rate = 48000;
    int m_channels = 1;
    int m_format = 0;
    std::unique_ptr<QTemporaryFile> m_take;
    qint64 m_split = 0;
    qint64 m_takeFrames = 0;
};
