// Files the viewers write: fax copies beside the result window's temporary
// file and recordings saved by the operator. They live in folders other
// users may write to (the temporary folder), so nothing here follows a
// symbolic link planted under the name, and what is written is readable by
// the user alone.
#pragma once

#include <QByteArray>
#include <QString>

namespace viewer_files {

// The record's file extension when it is a plain one (letters and digits,
// at most 10); otherwise Fallback. The extension comes from the archive's
// data and ends up in file names.
QString SafeExtension(const QString& Extension, const QString& Fallback = QStringLiteral("dat"));

// Creates Folder (and missing parents) for the user alone. An existing
// folder is accepted only when it is a real folder of this user, not a
// link to one. Created tells whether this call made it.
bool MakePrivateFolder(const QString& Folder, QString* Error = nullptr, bool* Created = nullptr);

// Copies Source to Target, replacing Target: the copy is written to a new
// file beside Target and renamed over it, so a link at Target is replaced,
// never followed, and a failed copy leaves Target as it was. The copy is
// readable and writable by the user alone.
bool CopyPrivateFile(const QString& Source, const QString& Target, QString* Error = nullptr);

// Writes Data to Target the same way: a new private file renamed over it.
bool WritePrivateFile(const QString& Target, const QByteArray& Data, QString* Error = nullptr);

// Files the operator saves to a place of their own choosing. Written through
// QSaveFile: nothing half-written is left and a failure keeps the old file;
// the operator's umask decides a new file's mode, a replaced file keeps its
// permissions. Source is read in pieces, so a long recording costs no
// memory.
bool SaveUserFile(const QString& Target, const QByteArray& Data, QString* Error = nullptr);
bool CopyToUserFile(const QString& Source, const QString& Target, QString* Error = nullptr);

// Deletes the file itself (a link is removed, not followed). True when it
// is gone afterwards.
bool RemoveFile(const QString& FileName);

// Removes Folder when it is empty (a link to a folder is left alone).
bool RemoveEmptyFolder(const QString& Folder);

} // namespace viewer_files
