// The progress of an evidence export: which record of how many, how much
// has been received, how many records failed so far, then the writing of
// the package; Cancel stops it and leaves no file. The dialog does not
// block the viewer: other windows go on working while the export waits for
// its turn at the server.
#pragma once

#include "EvidenceExport.h"
#include "UTCDialog.h"

#include <functional>

class QLabel;
class QProgressBar;
class QPushButton;

class TdlgEvidenceProgress : public TUTCDialog {
    Q_OBJECT
public:
    explicit TdlgEvidenceProgress(QWidget* Owner, const QString& FileName);

    void ShowProgress(const TEvidenceProgress& Progress);

    // The operator asked to stop (the button, Esc or the window's close).
    std::function<void()> OnCancel;

    QLabel* lbFile = nullptr;
    QLabel* lbRecords = nullptr;
    QLabel* lbCurrent = nullptr;
    QLabel* lbBytes = nullptr;
    QLabel* lbFailed = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QPushButton* btnCancel = nullptr;

protected:
    void reject() override;
    void closeEvent(QCloseEvent* Event) override;

private:
    void CancelPressed();
    bool FCancelling = false;
};
