// The global caller id dialog: one id in its long text form, five base-36
// characters and three groups of hexadecimal digits joined by dashes.
#pragma once

#include "UTCDialog.h"

#include <QString>

class QLineEdit;
class QPushButton;

class TdlgGlobalCallerID : public TUTCDialog {
    Q_OBJECT
public:
    // Letters become upper case, the dashes stay in the text, "_" marks a
    // position not yet typed.
    static constexpr const char* GCIDMask = ">NNNNN-NN-NNNNN-NNN;_";

    explicit TdlgGlobalCallerID(QWidget* Owner);

    const QString& GCID() const { return FGCID; }
    // Also shows the value in the edit.
    void SetGCID(const QString& Value);

    QLineEdit* edGCID = nullptr;
    QPushButton* btnOK = nullptr;
    QPushButton* btnCancel = nullptr;

private:
    void btnOKClick();

    QString FGCID;
};

// Asks for a global caller id in the dialog titled Caption, preset with
// GCID; true and the new id in GCID when the operator confirmed.
bool EditGlobalCallerID(QWidget* Owner, const QString& Caption, QString& GCID);
