// The pages of a fax inside the fax browser: PDF pages through Qt's PDF
// module, TIFF (and other image) pages through Qt's image readers, one page
// at a time with page navigation and zoom.
#pragma once

#include <QImage>
#include <QWidget>

#include <memory>

class QLabel;
class QPdfDocument;
class QScrollArea;
class QToolButton;

class TFaxPages : public QWidget {
    Q_OBJECT
public:
    explicit TFaxPages(QWidget* Parent = nullptr);
    ~TFaxPages() override;

    // Shows the first page of the file; false (and an explaining text in
    // place of the page) when it cannot be read.
    bool Load(const QString& FileName, const QString& FileExtension);
    void Clear();

    int PageCount() const;
    int Page() const { return FPage; }
    void SetPage(int Page);
    void NextPage() { SetPage(FPage + 1); }
    void PriorPage() { SetPage(FPage - 1); }

    // Zoom in percent of the page's own size at 96 dpi; FitWidth follows
    // the view's width.
    double Zoom() const { return FZoom; }
    void SetZoom(double Percent);
    bool FitWidth() const { return FFitWidth; }
    void SetFitWidth(bool Value);
    void ZoomIn();
    void ZoomOut();

    // What the page shows now, for the tests and screen readers.
    QImage PageImage() const { return FImage; }
    QString StatusText() const;
    QString ErrorText() const { return FError; }

    static constexpr int MaxPages = 10000;
    static constexpr double MinZoom = 10;
    static constexpr double MaxZoom = 400;

    QToolButton* btnPrior = nullptr;
    QToolButton* btnNext = nullptr;
    QToolButton* btnZoomOut = nullptr;
    QToolButton* btnZoomIn = nullptr;
    QToolButton* btnFitWidth = nullptr;
    QLabel* lbPage = nullptr;
    QScrollArea* sbPage = nullptr;
    QLabel* imgPage = nullptr;

protected:
    void resizeEvent(QResizeEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;

private:
    void Render();
    void UpdateControls();
    QSizeF PageSize() const;

    std::unique_ptr<QPdfDocument> FPdf;
    // Image pages are read when shown, so that a long fax needs memory for
    // one page only.
    QString FImageFile;
    int FImageCount = 0;
    QImage FPageSource;
    QImage FImage;
    QString FError;
    int FPage = 0;
    double FZoom = 100;
    bool FFitWidth = true;
};
