#include "SearchOptions.h"

#include <gtest/gtest.h>

TEST(SearchOptions, AllIMQueryText) {
    EXPECT_EQ(TSearchOptions::AllIMQuery(),
              QStringLiteral("SELECT Media_ID FROM media WHERE media_type='im'"));
}

TEST(SearchOptions, NewOptionsAreEmpty) {
    TSearchOptions Options;
    EXPECT_TRUE(Options.Phrases().isEmpty());
    EXPECT_TRUE(Options.MediaIds().isEmpty());
    EXPECT_EQ(Options.Mode(), smAllOf);
    EXPECT_EQ(Options.Source(), ssAll);
    EXPECT_EQ(Options.Destination(), sdNewForm);
}

TEST(SearchOptions, AssignCopiesEverythingIndependently) {
    TSearchOptions Source;
    Source.SetPhrases({QStringLiteral("hello"), QStringLiteral("world")});
    Source.SetMode(smAnyOf);
    Source.SetSource(ssSelected);
    Source.SetDestination(sdActiveForm);
    Source.MediaIds() = {3, 1, 2};

    TSearchOptions Copy;
    Copy.Assign(Source);
    EXPECT_EQ(Copy.Phrases(), Source.Phrases());
    EXPECT_EQ(Copy.Mode(), smAnyOf);
    EXPECT_EQ(Copy.Source(), ssSelected);
    EXPECT_EQ(Copy.Destination(), sdActiveForm);
    EXPECT_EQ(Copy.MediaIds(), (QList<quint32>{3, 1, 2}));

    // Emptying the source's ids (as a search job does) leaves the copy.
    Source.MediaIds().clear();
    Source.SetPhrases({});
    EXPECT_EQ(Copy.MediaIds(), (QList<quint32>{3, 1, 2}));
    EXPECT_EQ(Copy.Phrases().size(), 2);
    Copy.MediaIds().append(9);
    EXPECT_TRUE(Source.MediaIds().isEmpty());
}

TEST(SearchOptions, SetPhrasesCopiesTheList) {
    QStringList Phrases{QStringLiteral("a")};
    TSearchOptions Options;
    Options.SetPhrases(Phrases);
    Phrases.append(QStringLiteral("b"));
    EXPECT_EQ(Options.Phrases(), QStringList{QStringLiteral("a")});
}
