// What the text search dialog collects, and the record ids to search.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// How the phrases combine; the protocol carries it as a 4-byte value.
enum SearchMode : qint32 { smAllOf = 0, smAnyOf = 1 };

enum TSearchSource : quint8 { ssAll = 0, ssActiveForm = 1, ssSelected = 2 };

enum TSearchDestination : quint8 { sdNewForm = 0, sdActiveForm = 1 };

class TSearchOptions {
public:
    TSearchOptions() = default;
    TSearchOptions(const TSearchOptions& Source) = default;
    TSearchOptions& operator=(const TSearchOptions& Source) = default;

    // Copies phrases, mode, source, destination and record ids.
    void Assign(const TSearchOptions& Source);

    const QStringList& Phrases() const { return FPhrases; }
    void SetPhrases(const QStringList& Value) { FPhrases = Value; }
    SearchMode Mode() const { return FSearchMode; }
    void SetMode(SearchMode Value) { FSearchMode = Value; }
    TSearchSource Source() const { return FSearchSource; }
    void SetSource(TSearchSource Value) { FSearchSource = Value; }
    TSearchDestination Destination() const { return FDestination; }
    void SetDestination(TSearchDestination Value) { FDestination = Value; }
    // The records to search, and after the search the hits.
    QList<quint32>& MediaIds() { return FMediaIds; }
    const QList<quint32>& MediaIds() const { return FMediaIds; }

    // The statement that lists every instant message of the archive.
    static QString AllIMQuery();

private:
    QStringList FPhrases;
    SearchMode FSearchMode = smAllOf;
    TSearchSource FSearchSource = ssAll;
    TSearchDestination FDestination = sdNewForm;
    QList<quint32> FMediaIds;
};
