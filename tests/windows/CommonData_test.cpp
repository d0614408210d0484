#include "ViewerTestSupport.h"

#include "CommonData.h"

#include <QImage>

namespace {

// Opaque pixels of an image: a blank square has none.
int OpaquePixels(const QPixmap& Pixmap) {
    const QImage Image = Pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
    int Count = 0;
    for (int Y = 0; Y < Image.height(); ++Y)
        for (int X = 0; X < Image.width(); ++X)
            if (qAlpha(Image.pixel(X, Y)) > 128)
                ++Count;
    return Count;
}

} // namespace

TEST(CommonDataImages, ListsHaveTheirSizes) {
    TCommonData Data;
    EXPECT_EQ(Data.objectName(), "CommonData");
    EXPECT_EQ(Data.ActionGlyphs.Size(), QSize(20, 20));
    EXPECT_EQ(Data.ListViewImages.Size(), QSize(16, 16));
    EXPECT_EQ(Data.MediaImages.Size(), QSize(20, 20));
    for (int I = 0; I < Data.ActionGlyphs.Count(); ++I)
        EXPECT_EQ(Data.ActionGlyphs.Pixmap(I).size(), QSize(20, 20)) << "glyph " << I;
    for (int I = 0; I < Data.ListViewImages.Count(); ++I)
        EXPECT_EQ(Data.ListViewImages.Pixmap(I).size(), QSize(16, 16)) << "image " << I;
}

TEST(CommonDataImages, EveryNumberTheWindowsUseHasAPicture) {
    TCommonData Data;
    // The action tables of the frame, the query builder and the result
    // windows name these glyphs.
    for (int I : {8,  9,  20, 26, 27, 28, 35, 38, 39, 40, 41, 46, 48, 49,
                  50, 56, 57, 65, 70, 72, 76, 81, 83, 85, 86, 87, 88, 89})
        EXPECT_GT(OpaquePixels(Data.ActionGlyphs.Pixmap(I)), 40) << "glyph " << I;
    for (int I : {2, 3, 4, 5, 15, 16})
        EXPECT_GT(OpaquePixels(Data.MediaImages.Pixmap(I)), 40) << "media image " << I;
    for (int I : {3, 4, 5})
        EXPECT_GT(OpaquePixels(Data.ListViewImages.Pixmap(I)), 30) << "list image " << I;
}

TEST(CommonDataImages, DifferentActionsShowDifferentGlyphs) {
    TCommonData Data;
    const QImage NewQuery = Data.ActionGlyphs.Pixmap(56).toImage();
    const QImage Search = Data.ActionGlyphs.Pixmap(46).toImage();
    const QImage Cascade = Data.ActionGlyphs.Pixmap(48).toImage();
    const QImage TileH = Data.ActionGlyphs.Pixmap(49).toImage();
    EXPECT_NE(NewQuery, Search);
    EXPECT_NE(Cascade, TileH);
    EXPECT_NE(Data.MediaImages.Pixmap(2).toImage(), Data.MediaImages.Pixmap(3).toImage());
}

TEST(CommonDataImages, NumbersOutsideAListGiveNoImage) {
    TCommonData Data;
    EXPECT_TRUE(Data.ActionGlyphs.Pixmap(-1).isNull());
    EXPECT_TRUE(Data.ActionGlyphs.Pixmap(Data.ActionGlyphs.Count()).isNull());
    EXPECT_TRUE(Data.MediaImages.Icon(1000).isNull());
}

TEST(CommonDataImages, AddScalesToTheListSize) {
    TImageList List(20, 20);
    QPixmap Big(48, 48);
    Big.fill(Qt::blue);
    EXPECT_EQ(List.Add(Big), 0);
    EXPECT_EQ(List.Pixmap(0).size(), QSize(20, 20));
    EXPECT_EQ(List.Count(), 1);
}

TEST(CommonDataImages, ProgramIconExists) {
    EXPECT_FALSE(TCommonData::ApplicationIcon().isNull());
}
