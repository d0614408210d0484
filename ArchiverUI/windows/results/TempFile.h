// The result windows' download files. A window keeps one file, named "vqa"
// followed by a tick count and ".~tf", and writes each downloaded record
// into it. The shared temporary folder is open to every local user, so the
// files live in a folder of the user's own inside it (mode 0700) and are
// created exclusively, readable by the user alone, never through a link.
#pragma once

#include <QString>
#include <QtGlobal>

#include <stdexcept>

class ETempFileError : public std::runtime_error {
public:
    explicit ETempFileError(const QString& Message);
};

// The user's private folder in the temporary folder, created when missing.
// A folder of that name that is not the user's own (or is a link) is not
// used; a fresh private folder takes its place for this run.
QString PrivateTempDir();

// Reserves a new file name "vqa<tick>.~tf" in the private folder by
// creating the file exclusively, empty; returns the name without folder.
QString ReserveTempFileBase();

// A download file opened for writing: created anew, exclusively, mode 0600,
// never following a link. Closed when destroyed.
class TTempFileStream {
public:
    // Any file of that name is removed first; raises ETempFileError when
    // the file cannot be created.
    explicit TTempFileStream(const QString& FileName);
    ~TTempFileStream();
    TTempFileStream(const TTempFileStream&) = delete;
    TTempFileStream& operator=(const TTempFileStream&) = delete;

    // Raises ETempFileError when not all bytes could be written.
    void Write(const char* Data, qint64 Length);
    qint64 Size() const { return FSize; }
    const QString& FileName() const { return FFileName; }

private:
    QString FFileName;
    int FHandle = -1;
    qint64 FSize = 0;
};
