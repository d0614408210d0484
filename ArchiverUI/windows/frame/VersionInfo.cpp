#include "VersionInfo.h"

#if __has_include("VersionData.h")
#include "VersionData.h"
#endif

namespace {

constexpr quint16 LangEnglishUS = 0x0409;
constexpr quint16 CodePageUnicode = 0x04b0;

QString StringPath(const TVersionTranslation& T, const QString& Key) {
    return QString::asprintf("\\StringFileInfo\\%.4x%.4x\\", T.Language, T.CodePage) + Key;
}

} // namespace

const TVersionData* ProgramVersionData() {
#ifdef VQ_VIEWER_HAS_VERSION_DATA
    static const TVersionData Data = [] {
        TVersionData D;
        const TVersionTranslation T{LangEnglishUS, CodePageUnicode};
        D.Translations.append(T);
        const QString Version = QStringLiteral(VQ_VIEWER_PRODUCT_VERSION);
        D.Strings.insert(StringPath(T, QStringLiteral("CompanyName")), QStringLiteral("Tovrin"));
        D.Strings.insert(StringPath(T, QStringLiteral("ProductName")),
                         QStringLiteral("VQarchive Viewer"));
        D.Strings.insert(StringPath(T, QStringLiteral("ProductVersion")), Version);
        D.Strings.insert(StringPath(T, QStringLiteral("FileVersion")), Version);
        D.Strings.insert(StringPath(T, QStringLiteral("LegalCopyright")),
                         QStringLiteral("Copyright \u00a9 Tovrin. All rights reserved."));
        return D;
    }();
    return &Data;
#else
    return nullptr;
#endif
}

QString GetVersionInfoValue(const TVersionData* Data, const QString& Key) {
    QString Result = QStringLiteral("N/A");
    if (Data == nullptr || Data->Translations.isEmpty())
        return Result;
    const auto Found = Data->Strings.constFind(StringPath(Data->Translations.first(), Key));
    if (Found != Data->Strings.constEnd())
        Result = Found.value();
    return Result;
}

QString GetVersionInfoValue(const QString& Key) {
    return GetVersionInfoValue(ProgramVersionData(), Key);
}
