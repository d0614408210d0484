// The call attached data criterion dialog: a field name from the archive,
// an operator and a value. The field names load from the server while the
// dialog is open; the operator sees that they load, may cancel, and may
// type a name when they do not come.
#pragma once

#include "Conditions.h"
#include "UTCDialog.h"
#include "vqlink/vqlink_records.h"

#include <QString>

class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class TJobHandle;

class TdlgCADSearch : public TUTCDialog {
    Q_OBJECT
public:
    // The statement that lists the archive's field names.
    static constexpr const char* FieldNamesSQL = "SELECT DISTINCT name FROM cad ORDER BY name";

    explicit TdlgCADSearch(QWidget* Owner);
    ~TdlgCADSearch() override;

    // Starts loading the field names into cbFieldName and returns; the
    // names fill the list as they arrive. A server that does not answer
    // within the library's call bound, an error or a lost connection ends
    // the load with the reason in lblStatus, and the name can then be
    // typed. A job that cannot be started raises its error.
    void FetchFieldNames();

    // The field names are being fetched.
    bool Busy() const;
    // The names' job.
    TJobHandle* NamesJob() const { return FJob; }

    // Selects the criterion's field name (none when the archive has no such
    // name; names still loading select it when it comes), its operator and
    // its value.
    void SetCriteria(const TCADSearchCriteria& Criteria);
    // What the operator chose.
    TCADSearchCriteria Criteria() const;

    QComboBox* cbFieldName = nullptr;
    QComboBox* cbOperators = nullptr;
    QLineEdit* edValue = nullptr;
    QProgressBar* pbLoading = nullptr;
    QLabel* lblStatus = nullptr;
    QPushButton* btnOK = nullptr;
    QPushButton* btnCancel = nullptr;

    // OK is enabled while a field and an operator are chosen and the value
    // is not blank.
    void UpdateOK();

    // Closing the dialog, by any button or key, stops the names' job.
    void done(int Result) override;

private:
    void AddNames(const IPC_DA_DBClient::TSelectResult& Result);
    void NamesEnded(const QString& Error);
    void ShowLoading(const QString& Text);
    // Chooses FWanted in the list, or types it when names can be typed.
    void SelectName();
    // The chosen or typed name; empty for none.
    QString FieldName() const;

    TJobHandle* FJob = nullptr;
    // The criterion's field name, chosen once the names are there.
    QString FWanted;
};

// Asks for a criterion in the dialog titled Caption, preset with Criteria;
// true and the new criterion in Criteria when the operator confirmed.
bool EditCADCriteria(QWidget* Owner, const QString& Caption, TCADSearchCriteria& Criteria);
