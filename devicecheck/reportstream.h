// Where the report's lines go (standard output, or standard error for errors), written so that a
// reader who stops reading, or a terminal whose output is stopped, never holds the run: each line
// may wait at most a deadline, and a stream that does not take it, or whose reader went away, is
// given up for the rest of the run. The evidence files and the exit status carry the verdict
// whatever becomes of the stream.
#ifndef REPORTSTREAM_H
#define REPORTSTREAM_H

#include <QByteArray>
#include <QString>

class ReportStream {
public:
    // fd stays open; a pipe, socket or terminal is written through a handle of its own that never
    // blocks.
    ReportStream(int fd, qint64 deadlineMs);
    ~ReportStream();
    ReportStream(const ReportStream&) = delete;
    ReportStream& operator=(const ReportStream&) = delete;

    // Writes line; false when the stream was given up with it.
    bool writeLine(const QString& line);
    // Why the stream was given up, "its reader went away" or "took no line for 5 s"; empty while
    // it is not.
    const QString& lost() const { return m_lost; }

private:
    // Empty once every byte is written, otherwise why not.
    QString writeAll(const QByteArray& bytes);

    int m_fd;
    int m_own = -1; // the handle of its own, when there is one
    bool m_socket = false;
    qint64 m_deadlineMs;
    QString m_lost;
};

#endif
