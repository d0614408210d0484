#include "VQDesktop.h"

#include <QDesktopServices>

namespace {

struct TSeam {
    TVQDesktop::TOpener Opener;
    QList<QUrl> Opened;
};

TSeam& Seam() {
    static TSeam S;
    return S;
}

} // namespace

bool TVQDesktop::Open(const QUrl& Url) {
    TSeam& S = Seam();
    S.Opened.append(Url);
    if (S.Opener)
        return S.Opener(Url);
    return QDesktopServices::openUrl(Url);
}

bool TVQDesktop::OpenFile(const QString& FileName) {
    return Open(QUrl::fromLocalFile(FileName));
}

void TVQDesktop::SetOpener(TOpener Opener) {
    Seam().Opener = std::move(Opener);
}

QList<QUrl> TVQDesktop::Opened() {
    return Seam().Opened;
}

void TVQDesktop::ClearOpened() {
    Seam().Opened.clear();
}
