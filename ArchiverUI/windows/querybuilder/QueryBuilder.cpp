#include "QueryBuilder.h"

#include "VQQuery.h"

TdlgQueryBuilder* ActiveQueryBuilder = nullptr;
std::function<void(TVQQuery& Query)> ExecuteNewQuery;

TdlgQueryBuilder::TdlgQueryBuilder(QWidget* Owner) : TUTCDialog(Owner) {
    setObjectName(QStringLiteral("dlgQueryBuilder"));
    ActiveQueryBuilder = this;
}

TdlgQueryBuilder::~TdlgQueryBuilder() {
    if (ActiveQueryBuilder == this)
        ActiveQueryBuilder = nullptr;
}

// The dialog's forms and editors arrive with the query builder's own change.
void RunQueryBuilder() {}

bool EditQuery(TVQQuery&) {
    return false;
}
