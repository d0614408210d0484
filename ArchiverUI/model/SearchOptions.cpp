#include "SearchOptions.h"

#include "Conditions.h"

void TSearchOptions::Assign(const TSearchOptions& Source) {
    if (&Source == this) {
        return;
    }
    FPhrases = Source.FPhrases;
    FSearchMode = Source.FSearchMode;
    FSearchSource = Source.FSearchSource;
    FDestination = Source.FDestination;
    FMediaIds = Source.FMediaIds;
}

QString TSearchOptions::AllIMQuery() {
    return QStringLiteral("SELECT Media_ID FROM media WHERE media_type=") +
           QuotedStr(QString::fromLatin1(MediaTypeStrings[0]));
}
