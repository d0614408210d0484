// The about box: product name, version and legal notice from the program's
// version data.
#pragma once

#include "UTCDialog.h"

class QLabel;
class QPushButton;

class TdlgAbout : public TUTCDialog {
    Q_OBJECT
public:
    explicit TdlgAbout(QWidget* Owner);

    QLabel* Picture = nullptr;
    QLabel* ProductName = nullptr;
    QLabel* Version = nullptr;
    QLabel* LegalNotice = nullptr;
    QLabel* RightsNotice = nullptr;
    QPushButton* OKButton = nullptr;
};
