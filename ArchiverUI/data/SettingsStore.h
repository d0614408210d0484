// The viewer's per-user settings: server host and port, password, record
// limit and two history lists. They live in one key,
// "Software\Tovrin\<program name>", kept in the file
// $XDG_CONFIG_HOME/Tovrin/<program name> (~/.config when XDG_CONFIG_HOME is
// not set) in the text form of a registry export, so that values keep their
// types and settings exported on Windows can be copied in.
//
// Nothing is cached: every operation reads (or reads and rewrites) the file
// once. Reads report whether the value was found and leave the default to
// the caller; a write replaces the file atomically and reports success.
#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <stdexcept>

// A value of the wrong type: "Invalid data type for '%s'" with its name.
class ERegistryException : public std::runtime_error {
public:
    explicit ERegistryException(const QString& Message);
    const QString& Message() const { return FMessage; }

private:
    QString FMessage;
};

// The two history lists.
enum THistoryKind { hkAddress = 0, hkSearchPhrase = 1 };

bool ReadPort(quint32& Port);
bool ReadHost(QString& Host);
bool ReadPassword(QString& Password);
bool ReadMaxRecords(qint32& MaxRecords);
// The list is cleared and filled; blank and missing entries are skipped.
// Found when the list's count value exists.
bool ReadHistory(int Kind, QStringList& List);

bool WritePort(quint32 Port);
bool WriteHost(const QString& Host);
// Stored scrambled in 255 bytes; at most 254 characters are kept.
bool WritePassword(const QString& Password);
bool WriteMaxRecords(qint32 MaxRecords);
bool WriteHistory(int Kind, const QStringList& List);

// The media player's volume (0 to 100) and mute. A stored volume above 100
// reads as 100.
bool ReadPlayerVolume(quint32& Volume, bool& Muted);
bool WritePlayerVolume(quint32 Volume, bool Muted);

// The key's path under HKEY_CURRENT_USER and the file that holds it.
QString SettingsKeyPath();
QString SettingsFilePath();
