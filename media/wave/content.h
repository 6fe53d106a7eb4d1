#pragma once

#include <QString>
#include <QtGlobal>
#include <memory>

class QTemporaryFile;
class SaveTracker;
struct sf_private_tag;

// What the device holds: the frames of the bound file, with an optional recorded take
// that replaces everything from frame split() onwards. The take lives in a temporary file
// of raw float frames, so a long recording costs disk, not memory.
class Content
{
public:
    // Everything a save writes, taken at once: it is written on a thread of its own while
    // the content goes on being played, and shares nothing with it that either changes.
    class Snapshot
    {
    public:
        Snapshot() = default;
        Snapshot(Snapshot &&other) noexcept;
        Snapshot &operator=(Snapshot &&other) noexcept;
        ~Snapshot();

        // Writes it into its path, all or nothing: only a regular file is ever written or
        // replaced, and the new file keeps the old one's permissions (and owner, where
        // allowed). A temporary file beside the target, while there is one, is named to
        // the tracker, which is told of each answer of the disk.
        bool write(SaveTracker *tracker, QString *error) const;

    private:
        friend class Content;
        QString m_path;
        int m_rate = 0;
        int m_channels = 0;
        int m_format = 0;
        int m_source = -1; // the bound file, read anew from its start
        qint64 m_split = 0;
        qint64 m_takeFrames = 0;
        std::shared_ptr<QTemporaryFile> m_take;
    };

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

    // What a save of the content as it is now would write.
    Snapshot snapshot() const;
    // The file a snapshot was saved into is now the content, the same frames; the take
    // it replaced goes. False, the take kept, when the saved file cannot be read back.
    bool adoptSaved();
    // Writes the whole content into the bound path atomically, here and now; on success
    // the content is the saved file. On failure the old file is untouched and the take
    // is kept. Nothing recorded: nothing to write.
    bool save(QString *error);

private:
    bool adoptFile(const QString &path, int fd);

    bool m_open = false;
    QString m_path;
    int m_fd = -1; // the bound file itself, kept to read it again for a save
    sf_private_tag *m_file = nullptr;
    qint64 m_fileFrames = 0;
    qint64 m_cursor = -1; // where the next sequential read of m_file lands
    int m_rate = 48000;
    int m_channels = 1;
    int m_format = 0;
    std::shared_ptr<QTemporaryFile> m_take;
    qint64 m_split = 0;
    qint64 m_takeFrames = 0;
};
