// The call attached data criterion dialog: a field name from the archive,
// an operator and a value. The field names are fetched from the server
// when the dialog is prepared, before it is shown.
#pragma once

#include "Conditions.h"
#include "UTCDialog.h"

#include <QPointer>
#include <QString>

class QComboBox;
class QEventLoop;
class QLineEdit;
class QPushButton;
class TVQArcCache;

class TdlgCADSearch : public TUTCDialog {
    Q_OBJECT
public:
    // The statement that lists the archive's field names.
    static constexpr const char* FieldNamesSQL = "SELECT DISTINCT name FROM cad ORDER BY name";

    explicit TdlgCADSearch(QWidget* Owner);
    ~TdlgCADSearch() override;

    // Fetches the field names into cbFieldName and waits, with messages
    // running, until the job has ended: by its last result, by an error
    // result, or by the job being freed without either (a lost connection
    // drops every job). A job that cannot be started raises its error.
    void FetchFieldNames();

    // The field names are being fetched.
    bool Busy() const { return FBusy; }

    // Selects the criterion's field name (none when the archive has no such
    // name), its operator and its value.
    void SetCriteria(const TCADSearchCriteria& Criteria);
    // What the operator chose.
    TCADSearchCriteria Criteria() const;

    QComboBox* cbFieldName = nullptr;
    QComboBox* cbOperators = nullptr;
    QLineEdit* edValue = nullptr;
    QPushButton* btnOK = nullptr;
    QPushButton* btnCancel = nullptr;

    // OK is enabled while a field and an operator are chosen and the value
    // is not blank.
    void UpdateOK();

protected:
    bool event(QEvent* Event) override;

private:
    void EndWait();

    bool FBusy = false;
    TVQArcCache* FCache = nullptr;
    QPointer<QEventLoop> FWait;
};

// Asks for a criterion in the dialog titled Caption, preset with Criteria;
// true and the new criterion in Criteria when the operator confirmed.
bool EditCADCriteria(QWidget* Owner, const QString& Caption, TCADSearchCriteria& Criteria);
