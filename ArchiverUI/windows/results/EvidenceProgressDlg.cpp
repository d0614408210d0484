#include "EvidenceProgressDlg.h"

#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QLabel* NewLabel(QWidget* Owner, const char* Name) {
    auto* Label = new QLabel(Owner);
    Label->setObjectName(QLatin1String(Name));
    Label->setTextFormat(Qt::PlainText);
    Label->setWordWrap(true);
    return Label;
}

void SetText(QLabel* Label, const QString& Text) {
    Label->setText(Text);
    Label->setAccessibleName(Text);
}

} // namespace

TdlgEvidenceProgress::TdlgEvidenceProgress(QWidget* Owner, const QString& FileName)
    : TUTCDialog(Owner) {
    setObjectName(QStringLiteral("dlgEvidenceProgress"));
    setWindowTitle(QStringLiteral("Export evidence"));
    // The viewer stays usable while the export waits for the server.
    setModal(false);
    setWindowModality(Qt::NonModal);
    setMinimumWidth(420);

    auto* Layout = new QVBoxLayout(this);
    lbFile = NewLabel(this, "lbFile");
    SetText(lbFile, QStringLiteral("Writing %1").arg(QFileInfo(FileName).fileName()));
    lbFile->setToolTip(FileName);
    QFont Bold = lbFile->font();
    Bold.setBold(true);
    lbFile->setFont(Bold);
    lbRecords = NewLabel(this, "lbRecords");
    lbCurrent = NewLabel(this, "lbCurrent");
    lbBytes = NewLabel(this, "lbBytes");
    lbFailed = NewLabel(this, "lbFailed");
    lbFailed->setStyleSheet(QStringLiteral("color: #a01010;"));
    lbFailed->hide();
    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setAccessibleName(QStringLiteral("Export progress"));
    ProgressBar1->setRange(0, 1);
    ProgressBar1->setValue(0);
    btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    btnCancel->setAccessibleName(QStringLiteral("Cancel"));
    connect(btnCancel, &QPushButton::clicked, this, &TdlgEvidenceProgress::CancelPressed);
    auto* Buttons = new QDialogButtonBox(this);
    Buttons->addButton(btnCancel, QDialogButtonBox::RejectRole);

    Layout->addWidget(lbFile);
    Layout->addWidget(lbRecords);
    Layout->addWidget(lbCurrent);
    Layout->addWidget(ProgressBar1);
    Layout->addWidget(lbBytes);
    Layout->addWidget(lbFailed);
    Layout->addStretch(1);
    Layout->addWidget(Buttons);
    SetText(lbRecords, QStringLiteral("Waiting for the server"));
    SetText(lbBytes, QStringLiteral("Nothing received yet"));
}

void TdlgEvidenceProgress::ShowProgress(const TEvidenceProgress& Progress) {
    const QLocale Locale;
    if (Progress.Packing) {
        SetText(lbRecords, QStringLiteral("Writing the package"));
        SetText(lbCurrent, QString());
        ProgressBar1->setRange(0, 1000);
        ProgressBar1->setValue(int(Progress.PackFraction * 1000));
    } else {
        SetText(lbRecords, QStringLiteral("Record %1 of %2")
                               .arg(qMin(Progress.Done + 1, Progress.Total))
                               .arg(Progress.Total));
        SetText(lbCurrent, Progress.CurrentText.isEmpty()
                               ? QStringLiteral("Media id %1").arg(Progress.Current)
                               : QStringLiteral("%1 (media id %2)")
                                     .arg(Progress.CurrentText)
                                     .arg(Progress.Current));
        ProgressBar1->setRange(0, qMax(1, Progress.Total));
        ProgressBar1->setValue(Progress.Done);
    }
    SetText(lbBytes, QStringLiteral("%1 received")
                         .arg(Locale.formattedDataSize(Progress.Bytes, 1,
                                                       QLocale::DataSizeTraditionalFormat)));
    lbFailed->setVisible(Progress.Failed > 0);
    SetText(lbFailed,
            Progress.Failed == 1
                ? QStringLiteral("1 record could not be exported")
                : QStringLiteral("%1 records could not be exported").arg(Progress.Failed));
}

void TdlgEvidenceProgress::CancelPressed() {
    if (FCancelling)
        return;
    FCancelling = true;
    btnCancel->setEnabled(false);
    SetText(lbRecords, QStringLiteral("Cancelling"));
    if (OnCancel)
        OnCancel();
}

void TdlgEvidenceProgress::reject() {
    CancelPressed();
}

void TdlgEvidenceProgress::closeEvent(QCloseEvent* Event) {
    // Closing the dialog stops the export; the export closes it when done.
    Event->ignore();
    CancelPressed();
}
