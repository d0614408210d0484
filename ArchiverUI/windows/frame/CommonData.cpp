#include "CommonData.h"

#include <QImage>
#include <QString>

#include <map>

TCommonData* CommonData = nullptr;

namespace {

// Numbers of the action glyphs that the windows' action tables use, and the
// image each one shows. A number without an entry shows the generic glyph, so
// that a table entry that names it still gets a picture.
const std::map<int, const char*> ActionGlyphNames = {
    {8, "application-exit"},         // close, exit
    {9, "appointment-soon"},         // daily time frame
    {20, "media-record"},            // recorded voice messages
    {26, "appointment-new"},         // time span
    {27, "document-save"},           // save query
    {28, "document-open"},           // load query
    {35, "document-properties"},     // change query
    {38, "audio-volume-high"},       // voice mail
    {39, "system-run"},              // execute query
    {40, "document-print-preview"},  // browse item
    {41, "insert-link"},             // global call id
    {46, "edit-find"},               // search messages
    {48, "window-cascade"},          // cascade
    {49, "window-tile-horizontal"},  // tile horizontally
    {50, "window-tile-vertical"},    // tile vertically
    {56, "edit-find-replace"},       // query builder
    {57, "help-browser"},            // help
    {65, "process-stop"},            // close all, clear, cancel
    {70, "contact-new"},             // add participants
    {72, "mail-message-new"},        // instant messages
    {76, "accessories-text-editor"}, // edit condition
    {81, "document-print"},          // faxes
    {83, "edit-delete"},             // remove condition
    {85, "view-refresh"},            // refresh
    {86, "go-down"},                 // participant down
    {87, "go-up"},                   // participant up
    {88, "mail-attachment"},         // call attached data
    {89, "input-dialpad"},           // external number
};
constexpr int ActionGlyphCount = 90;

// Media kinds: 2 instant messages, 3 recorded voice messages, 4 voice mail,
// 5 faxes and the other kinds; 15 a participant and 16 the root "All" of
// the result windows' view trees.
const std::map<int, const char*> MediaImageNames = {
    {2, "mail-message-new"}, {3, "media-record"}, {4, "audio-volume-high"},
    {5, "document-print"},   {15, "user-info"},   {16, "system-file-manager"},
};
constexpr int MediaImageCount = 17;

// The user lists: 3 users and agents, 4 groups, 5 external addresses.
const std::map<int, const char*> ListViewImageNames = {
    {0, "emblem-generic"}, {1, "contact-new"},  {2, "call-start"},
    {3, "user-info"},      {4, "system-users"}, {5, "input-dialpad"},
};
constexpr int ListViewImageCount = 6;

QPixmap Load(int Size, const char* Name) {
    return QPixmap(QStringLiteral(":/icons/%1/%2.png").arg(Size).arg(QLatin1String(Name)));
}

void Fill(TImageList& List, int Count, const std::map<int, const char*>& Names) {
    const QPixmap Generic = Load(List.Width(), "emblem-generic");
    for (int I = 0; I < Count; ++I) {
        const auto Found = Names.find(I);
        const QPixmap Image = Found != Names.end() ? Load(List.Width(), Found->second) : Generic;
        List.Add(Image.isNull() ? Generic : Image);
    }
}

} // namespace

static void InitViewerResources() {
    // The images live in this static library; a program must register them
    // before first use, and that must happen outside any namespace.
    Q_INIT_RESOURCE(icons);
}

int TImageList::Add(const QPixmap& Image) {
    if (Image.isNull() || Image.size() == FSize)
        FImages.append(Image);
    else
        FImages.append(Image.scaled(FSize, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    return FImages.size() - 1;
}

QPixmap TImageList::Pixmap(int Index) const {
    if (Index < 0 || Index >= FImages.size())
        return QPixmap();
    return FImages.at(Index);
}

QIcon TImageList::Icon(int Index) const {
    const QPixmap Image = Pixmap(Index);
    return Image.isNull() ? QIcon() : QIcon(Image);
}

TCommonData::TCommonData(QObject* Owner) : QObject(Owner) {
    setObjectName(QStringLiteral("CommonData"));
    InitViewerResources();
    Fill(ActionGlyphs, ActionGlyphCount, ActionGlyphNames);
    Fill(MediaImages, MediaImageCount, MediaImageNames);
    Fill(ListViewImages, ListViewImageCount, ListViewImageNames);
}

TCommonData::~TCommonData() {
    if (CommonData == this)
        CommonData = nullptr;
}

QIcon TCommonData::ApplicationIcon() {
    InitViewerResources();
    return QIcon(QStringLiteral(":/icons/48/media-tape.png"));
}
