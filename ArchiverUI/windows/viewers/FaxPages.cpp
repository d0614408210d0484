#include "FaxPages.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPdfDocument>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include <cmath>

namespace {

// The largest page picture drawn, whatever the zoom: bounded memory.
constexpr int MaxRenderSide = 4000;

QToolButton* MakeButton(QWidget* Parent, const char* Name, const QString& Text, const QIcon& Icon) {
    auto* B = new QToolButton(Parent);
    B->setObjectName(QString::fromLatin1(Name));
    B->setText(Text);
    B->setToolTip(Text);
    B->setAccessibleName(Text);
    if (!Icon.isNull()) {
        B->setIcon(Icon);
        B->setToolButtonStyle(Qt::ToolButtonIconOnly);
    }
    B->setAutoRaise(true);
    B->setFocusPolicy(Qt::StrongFocus);
    return B;
}

} // namespace

TFaxPages::TFaxPages(QWidget* Parent) : QWidget(Parent) {
    setObjectName(QStringLiteral("FaxPages"));
    setAccessibleName(QStringLiteral("Fax pages"));
    const QStyle* S = style();
    btnPrior = MakeButton(this, "btnPrior", QStringLiteral("Previous page"),
                          S->standardIcon(QStyle::SP_ArrowLeft));
    btnNext = MakeButton(this, "btnNext", QStringLiteral("Next page"),
                         S->standardIcon(QStyle::SP_ArrowRight));
    btnZoomOut = MakeButton(this, "btnZoomOut", QStringLiteral("Zoom out"), {});
    btnZoomOut->setText(QStringLiteral("\u2212"));
    btnZoomIn = MakeButton(this, "btnZoomIn", QStringLiteral("Zoom in"), {});
    btnZoomIn->setText(QStringLiteral("+"));
    btnFitWidth = MakeButton(this, "btnFitWidth", QStringLiteral("Fit width"), {});
    btnFitWidth->setText(QStringLiteral("Fit"));
    btnFitWidth->setCheckable(true);
    btnFitWidth->setChecked(true);
    lbPage = new QLabel(this);
    lbPage->setObjectName(QStringLiteral("lbPage"));
    lbPage->setAccessibleDescription(QStringLiteral("Page and zoom"));

    imgPage = new QLabel;
    imgPage->setObjectName(QStringLiteral("imgPage"));
    imgPage->setAlignment(Qt::AlignCenter);
    imgPage->setWordWrap(true);
    imgPage->setAccessibleName(QStringLiteral("Fax page"));
    sbPage = new QScrollArea(this);
    sbPage->setObjectName(QStringLiteral("sbPage"));
    sbPage->setWidget(imgPage);
    sbPage->setWidgetResizable(true);
    sbPage->setAlignment(Qt::AlignCenter);
    sbPage->setBackgroundRole(QPalette::Dark);
    sbPage->setFocusPolicy(Qt::StrongFocus);
    sbPage->setAccessibleName(QStringLiteral("Fax page"));

    connect(btnPrior, &QToolButton::clicked, this, &TFaxPages::PriorPage);
    connect(btnNext, &QToolButton::clicked, this, &TFaxPages::NextPage);
    connect(btnZoomOut, &QToolButton::clicked, this, &TFaxPages::ZoomOut);
    connect(btnZoomIn, &QToolButton::clicked, this, &TFaxPages::ZoomIn);
    connect(btnFitWidth, &QToolButton::toggled, this, &TFaxPages::SetFitWidth);

    auto* Bar = new QHBoxLayout;
    Bar->setSpacing(2);
    Bar->addWidget(btnPrior);
    Bar->addWidget(btnNext);
    Bar->addWidget(lbPage, 1);
    Bar->addWidget(btnZoomOut);
    Bar->addWidget(btnZoomIn);
    Bar->addWidget(btnFitWidth);
    auto* Layout = new QVBoxLayout(this);
    Layout->setContentsMargins(0, 0, 0, 0);
    Layout->addLayout(Bar);
    Layout->addWidget(sbPage, 1);
    UpdateControls();
}

TFaxPages::~TFaxPages() = default;

void TFaxPages::Clear() {
    if (FPdf)
        FPdf->close();
    FPdf.reset();
    FImageFile.clear();
    FImageCount = 0;
    FPageSource = QImage();
    FImage = QImage();
    FError.clear();
    FPage = 0;
    imgPage->clear();
    UpdateControls();
}

bool TFaxPages::Load(const QString& FileName, const QString& FileExtension) {
    Clear();
    const QString Ext = FileExtension.toLower();
    if (Ext == QLatin1String("pdf")) {
        FPdf = std::make_unique<QPdfDocument>();
        if (FPdf->load(FileName) != QPdfDocument::Error::None || FPdf->pageCount() <= 0) {
            FPdf.reset();
            FError = QStringLiteral("The fax cannot be shown here; open it with its application.");
        }
    } else {
        QImageReader Reader(FileName);
        if (!Reader.canRead()) {
            FError = QStringLiteral("The fax cannot be shown here; open it with its application.");
        } else {
            FImageFile = FileName;
            FImageCount = qBound(1, Reader.imageCount(), MaxPages);
        }
    }
    if (!FError.isEmpty()) {
        imgPage->setText(FError);
        UpdateControls();
        return false;
    }
    SetPage(0);
    return true;
}

int TFaxPages::PageCount() const {
    if (FPdf)
        return qMin(FPdf->pageCount(), MaxPages);
    return FImageCount;
}

QSizeF TFaxPages::PageSize() const {
    if (FPdf)
        return FPdf->pagePointSize(FPage) * (96.0 / 72.0);
    if (FPageSource.isNull())
        return {};
    const double DpiX = FPageSource.dotsPerMeterX() > 0 ? FPageSource.dotsPerMeterX() * 0.0254 : 96;
    const double DpiY = FPageSource.dotsPerMeterY() > 0 ? FPageSource.dotsPerMeterY() * 0.0254 : 96;
    return {FPageSource.width() * 96.0 / DpiX, FPageSource.height() * 96.0 / DpiY};
}

void TFaxPages::SetPage(int Page) {
    const int Count = PageCount();
    if (Count <= 0)
        return;
    FPage = qBound(0, Page, Count - 1);
    if (!FImageFile.isEmpty()) {
        QImageReader Reader(FImageFile);
        if (FPage > 0)
            Reader.jumpToImage(FPage);
        FPageSource = Reader.read();
        if (FPageSource.isNull())
            FError = QStringLiteral("Page %1 cannot be read: %2")
                         .arg(FPage + 1)
                         .arg(Reader.errorString());
        else
            FError.clear();
    }
    Render();
}

void TFaxPages::SetZoom(double Percent) {
    Percent = qBound(MinZoom, Percent, MaxZoom);
    if (Percent == FZoom && !FFitWidth)
        return;
    FZoom = Percent;
    if (FFitWidth) {
        FFitWidth = false;
        const QSignalBlocker Block(btnFitWidth);
        btnFitWidth->setChecked(false);
    }
    Render();
}

void TFaxPages::SetFitWidth(bool Value) {
    FFitWidth = Value;
    if (btnFitWidth->isChecked() != Value) {
        const QSignalBlocker Block(btnFitWidth);
        btnFitWidth->setChecked(Value);
    }
    Render();
}

void TFaxPages::ZoomIn() {
    SetZoom(std::round(FZoom * 1.25));
}

void TFaxPages::ZoomOut() {
    SetZoom(std::round(FZoom / 1.25));
}

void TFaxPages::Render() {
    const QSizeF Size = PageSize();
    if (PageCount() <= 0 || Size.isEmpty() || (!FPdf && FPageSource.isNull())) {
        FImage = QImage();
        imgPage->setPixmap({});
        if (!FError.isEmpty())
            imgPage->setText(FError);
        UpdateControls();
        return;
    }
    if (FFitWidth) {
        const int Room = sbPage->viewport()->width() - 8;
        if (Room > 20)
            FZoom = qBound(MinZoom, Room * 100.0 / Size.width(), MaxZoom);
    }
    QSize Target = (Size * FZoom / 100.0).toSize();
    if (Target.width() > MaxRenderSide || Target.height() > MaxRenderSide)
        Target.scale(MaxRenderSide, MaxRenderSide, Qt::KeepAspectRatio);
    Target = Target.expandedTo({1, 1});
    QImage Page(Target, QImage::Format_RGB32);
    Page.fill(Qt::white);
    {
        QPainter P(&Page);
        if (FPdf) {
            P.drawImage(0, 0, FPdf->render(FPage, Target));
        } else {
            P.setRenderHint(QPainter::SmoothPixmapTransform);
            P.drawImage(QRect(QPoint(0, 0), Target), FPageSource);
        }
    }
    FImage = Page;
    imgPage->setPixmap(QPixmap::fromImage(FImage));
    UpdateControls();
}

QString TFaxPages::StatusText() const {
    const int Count = PageCount();
    if (Count <= 0)
        return QString();
    return QStringLiteral("Page %1 of %2, %3%").arg(FPage + 1).arg(Count).arg(qRound(FZoom));
}

void TFaxPages::UpdateControls() {
    const int Count = PageCount();
    btnPrior->setEnabled(Count > 0 && FPage > 0);
    btnNext->setEnabled(Count > 0 && FPage + 1 < Count);
    btnZoomIn->setEnabled(Count > 0 && FZoom < MaxZoom);
    btnZoomOut->setEnabled(Count > 0 && FZoom > MinZoom);
    btnFitWidth->setEnabled(Count > 0);
    lbPage->setText(StatusText());
    imgPage->setAccessibleDescription(StatusText());
}

void TFaxPages::resizeEvent(QResizeEvent* Event) {
    QWidget::resizeEvent(Event);
    if (FFitWidth && PageCount() > 0)
        Render();
}

void TFaxPages::keyPressEvent(QKeyEvent* Event) {
    switch (Event->key()) {
    case Qt::Key_PageDown:
        NextPage();
        break;
    case Qt::Key_PageUp:
        PriorPage();
        break;
    case Qt::Key_Plus:
        ZoomIn();
        break;
    case Qt::Key_Minus:
        ZoomOut();
        break;
    default:
        QWidget::keyPressEvent(Event);
        return;
    }
    Event->accept();
}
