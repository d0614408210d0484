// The query builder: the modal dialog in which the operator composes a
// query from conditions, and the entry points the frame and the result
// windows use.
#pragma once

#include "UTCDialog.h"

#include <functional>

class TVQQuery;

class TdlgQueryBuilder : public TUTCDialog {
    Q_OBJECT
public:
    explicit TdlgQueryBuilder(QWidget* Owner);
    ~TdlgQueryBuilder() override;

    // The user list is being loaded.
    bool Busy() const { return FBusy; }

private:
    bool FBusy = false;
};

// The dialog while it exists.
extern TdlgQueryBuilder* ActiveQueryBuilder;

// The main window's "Query Builder": composes a new query and, when the
// operator executes it, hands it to ExecuteNewQuery.
void RunQueryBuilder();
// A result window's "Change": edits Query in the dialog; true when the
// operator executed it (Query then holds the new conditions).
bool EditQuery(TVQQuery& Query);

// Where a confirmed new query goes: the program opens a result window for
// it. Set where the windows are wired together; a test may observe it.
extern std::function<void(TVQQuery& Query)> ExecuteNewQuery;
