// An evidence file (the JSON, the JUnit report), whole or not there: written into a temporary file
// beside it, flushed to disk and renamed over it only when complete, so that a run that is killed
// leaves no partial file at the path and nothing can be written into it between the run and the
// rename.
#ifndef EVIDENCEFILE_H
#define EVIDENCEFILE_H

#include <QByteArray>
#include <QString>

class EvidenceFile {
public:
    explicit EvidenceFile(const QString& path);
    // Removes the temporary file unless it was committed.
    ~EvidenceFile();
    EvidenceFile(const EvidenceFile&) = delete;
    EvidenceFile& operator=(const EvidenceFile&) = delete;

    // Creates the temporary file in the path's folder: false, with errorString(), when it cannot.
    bool open();
    // Writes content into the temporary file, flushes it to disk and renames it over the path.
    bool commit(const QByteArray& content);
    // "<path>: <what failed>: <why>"
    QString errorString() const { return m_error; }

    // Removes the temporary files of the open evidence files: for a signal handler, on the way out
    // of a run that is ended. Async-signal-safe.
    static void removeTemporaries();

private:
    bool fail(const QString& what);

    QString m_path;
    QByteArray m_temporary;
    int m_fd = -1;
    unsigned m_mode = 0644;  // the permissions the committed file gets
    char* m_place = nullptr; // where a signal handler finds the temporary name
    QString m_error;
};

#endif
