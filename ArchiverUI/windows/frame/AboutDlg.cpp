#include "AboutDlg.h"

#include "CommonData.h"
#include "VersionInfo.h"

#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// The banner across the top of the box: the program's icon on a band in
// the colours of its glyphs.
QPixmap Banner(int Width, int Height) {
    QPixmap Image(Width, Height);
    QPainter Canvas(&Image);
    QLinearGradient Band(0, 0, Width, 0);
    Band.setColorAt(0.0, QColor(0x20, 0x4a, 0x87));
    Band.setColorAt(1.0, QColor(0x72, 0x9f, 0xcf));
    Canvas.fillRect(Image.rect(), Band);
    const QPixmap Icon = TCommonData::ApplicationIcon().pixmap(48, 48);
    Canvas.drawPixmap(12, (Height - Icon.height()) / 2, Icon);
    QFont Font = Canvas.font();
    Font.setPointSize(16);
    Font.setBold(true);
    Canvas.setFont(Font);
    Canvas.setPen(Qt::white);
    Canvas.drawText(QRect(72, 0, Width - 80, Height), Qt::AlignLeft | Qt::AlignVCenter,
                    QStringLiteral("VQarchive"));
    return Image;
}

} // namespace

TdlgAbout::TdlgAbout(QWidget* Owner) : TUTCDialog(Owner) {
    setObjectName(QStringLiteral("dlgAbout"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("About"));

    auto* Layout = new QVBoxLayout(this);
    Picture = new QLabel(this);
    Picture->setPixmap(Banner(320, 72));
    Picture->setAlignment(Qt::AlignCenter);
    Layout->addWidget(Picture);

    ProductName = new QLabel(QStringLiteral("VQarchive Viewer"), this);
    QFont Italic = ProductName->font();
    Italic.setItalic(true);
    Italic.setPointSize(Italic.pointSize() + 2);
    ProductName->setFont(Italic);
    ProductName->setAlignment(Qt::AlignCenter);
    Layout->addWidget(ProductName);

    Version = new QLabel(this);
    Version->setObjectName(QStringLiteral("Version"));
    Version->setAlignment(Qt::AlignCenter);
    Layout->addWidget(Version);

    LegalNotice = new QLabel(this);
    LegalNotice->setAlignment(Qt::AlignCenter);
    LegalNotice->setWordWrap(true);
    Layout->addWidget(LegalNotice);

    RightsNotice = new QLabel(
        QStringLiteral("This program is protected by copyright law and international treaties."),
        this);
    RightsNotice->setAlignment(Qt::AlignCenter);
    RightsNotice->setWordWrap(true);
    Layout->addWidget(RightsNotice);

    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setDefault(true);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);
    Layout->addWidget(OKButton, 0, Qt::AlignCenter);
    setFixedSize(sizeHint().expandedTo(QSize(340, 0)));

    Version->setText(QStringLiteral("Version ") +
                     GetVersionInfoValue(QStringLiteral("ProductVersion")));
    LegalNotice->setText(GetVersionInfoValue(QStringLiteral("LegalCopyright")));
}
