// The data module that every window shares: the image lists of the tool
// bars, actions, lists and media kinds.
#pragma once

#include <QIcon>
#include <QList>
#include <QObject>
#include <QPixmap>
#include <QSize>

// A list of images of one size, addressed by number as the windows' action
// and item tables give them.
class TImageList {
public:
    TImageList(int Width, int Height) : FSize(Width, Height) {}

    int Width() const { return FSize.width(); }
    int Height() const { return FSize.height(); }
    QSize Size() const { return FSize; }
    int Count() const { return FImages.size(); }

    // Appends the image, scaled to the list's size; returns its number.
    int Add(const QPixmap& Image);
    // The image with number Index, or a null pixmap outside the list.
    QPixmap Pixmap(int Index) const;
    QIcon Icon(int Index) const;

private:
    QSize FSize;
    QList<QPixmap> FImages;
};

class TCommonData : public QObject {
    Q_OBJECT
public:
    explicit TCommonData(QObject* Owner = nullptr);
    ~TCommonData() override;

    TImageList ActionGlyphs{20, 20};
    TImageList ListViewImages{16, 16};
    TImageList MediaImages{20, 20};

    // The program's own icon.
    static QIcon ApplicationIcon();
};

// Program-wide instance; null before the main window's data module exists.
extern TCommonData* CommonData;
