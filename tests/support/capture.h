// Test helpers that record what the tool writes outside its widgets: debug lines (through a
// message handler) and standard output (by pointing file descriptor 1 at a temporary file).
#ifndef CAPTURE_H
#define CAPTURE_H

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Records every debug line written while it lives, as the message text exactly.
class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    // The raw messages, including a trailing "\n" where a line was ended explicitly.
    QStringList messages() const;
    // The messages with the explicit line end and surrounding blanks removed.
    QStringList lines() const;
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& message);
    QtMessageHandler m_previous;
};

// Records what is written to standard output (or another file descriptor, such as 2 for standard
// error) while it lives.
class StdoutCapture {
public:
    explicit StdoutCapture(int fd = 1);
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Everything written so far, after flushing every stdio stream.
    QByteArray text();
    // What has reached the file descriptor, without flushing: output still held in a stdio
    // buffer is missing.
    QByteArray written() const;

private:
    int m_fd;
    int m_savedFd;
    int m_fileFd;
};

#endif
