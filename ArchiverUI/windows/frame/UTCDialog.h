// The plain base of the viewer's dialogs: modal, fixed border, centred on
// the main window when shown.
#pragma once

#include <QDialog>

class TUTCDialog : public QDialog {
    Q_OBJECT
public:
    explicit TUTCDialog(QWidget* Owner);

protected:
    void showEvent(QShowEvent* Event) override;
};
