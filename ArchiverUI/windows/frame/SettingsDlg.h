// The settings dialog: server address (with its history), port, password
// and the record limit. A new connection is tested before it is accepted.
#pragma once

#include "UTCDialog.h"

#include <QString>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TVQSpinEdit;

class TdlgSettings : public TUTCDialog {
    Q_OBJECT
public:
    // Entries the address history keeps, newest first.
    static constexpr int MaxHistory = 16;

    explicit TdlgSettings(QWidget* Owner);

    // Valid: not empty, and only ".", digits, ASCII letters and "_".
    static bool IsValidAddress(const QString& Address);

    QComboBox* cbUrl = nullptr;
    TVQSpinEdit* edPort = nullptr;
    QLineEdit* edPassword = nullptr;
    TVQSpinEdit* seMaxRecords = nullptr;
    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;
    // Context help is not available; the button stands disabled.
    QPushButton* HelpBtn = nullptr;
    QLabel* lblWarning = nullptr;

    // Tests and stores the values; false (dialog stays open) when the test
    // failed, with the failure shown in the error box.
    bool ApplySettings();

public slots:
    void accept() override;

private:
    void cbUrlChange();
    void UpdateHistory(const QString& Address);
};
