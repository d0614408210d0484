// For the query builder's window tests: the real dialog, shown, with the
// shared user list already filled (so that it asks the server nothing),
// and helpers that act on it as the operator would: clicks on the parts
// of a line, selections in the user list, drops.
#pragma once

#include "ViewerTestSupport.h"

#include "QStringPrint.h"

#include "CommonData.h"
#include "DataCache.h"
#include "QueryBuilder.h"
#include "QueryLines.h"
#include "UserList.h"
#include "UserListView.h"
#include "VQMessageBox.h"
#include "VQQuery.h"

#include <QAction>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QMimeData>
#include <QTest>

#include <memory>

namespace viewer_test {

// Where the parts of a line are, as the list lays it out now.
enum class TPart { Caption, Value, Operator };

inline QPoint PointOf(TdlgQueryBuilder& Builder, int Row, TPart Part) {
    Builder.lbQuery->UpdateLineRects(Row);
    const TAQCondition* Condition = Builder.Query().GetCondition(Row);
    if (Condition == nullptr)
        return QPoint(-1, -1);
    switch (Part) {
    case TPart::Caption:
        return Condition->CaptionRect().center();
    case TPart::Value:
        return Condition->ValueRect().center();
    case TPart::Operator:
        return Condition->OperatorRect().center();
    }
    return QPoint(-1, -1);
}

inline void ClickAt(TdlgQueryBuilder& Builder, const QPoint& Point) {
    QTest::mouseClick(Builder.lbQuery->viewport(), Qt::LeftButton, Qt::NoModifier, Point);
}

inline void ClickPart(TdlgQueryBuilder& Builder, int Row, TPart Part) {
    ClickAt(Builder, PointOf(Builder, Row, Part));
}

// Selects the entries with these names in the user list (and no others).
inline void SelectUsers(TdlgQueryBuilder& Builder, const QStringList& Names) {
    TUserListView* View = Builder.lvUsers;
    View->selectionModel()->clearSelection();
    for (const QString& Name : Names) {
        const TUserListModel* Model = View->UsersModel();
        for (int Row = 0; Row < Model->rowCount(); ++Row)
            if (Model->Entry(Row)->Name() == Name)
                View->selectionModel()->select(Model->index(Row), QItemSelectionModel::Select |
                                                                      QItemSelectionModel::Rows);
    }
}

// The lines as a person reads them.
inline QStringList Sentences(TdlgQueryBuilder& Builder) {
    QStringList Result;
    const TQueryLinesModel* Model = Builder.lbQuery->LinesModel();
    for (int Row = 0; Row < Model->rowCount(); ++Row)
        Result.append(Model->data(Model->index(Row)).toString());
    return Result;
}

// The first line of a kind, -1 for none.
inline int LineOf(TdlgQueryBuilder& Builder, TConditionKind Kind, int From = 0) {
    return Builder.Query().FindKind(KindSet({Kind}), 0, From);
}

// A drop of Data on a point of a list, as the toolkit delivers it.
inline bool Drop(QWidget* Viewport, const QPoint& Point, QMimeData& Data) {
    QDragEnterEvent Enter(Point, Qt::CopyAction | Qt::MoveAction, &Data, Qt::LeftButton,
                          Qt::NoModifier);
    QApplication::sendEvent(Viewport, &Enter);
    if (!Enter.isAccepted())
        return false;
    QDropEvent Dropped(QPointF(Point), Qt::CopyAction | Qt::MoveAction, &Data, Qt::LeftButton,
                       Qt::NoModifier);
    QApplication::sendEvent(Viewport, &Dropped);
    return Dropped.isAccepted();
}

class BuilderTest : public ::testing::Test {
protected:
    void SetUp() override {
        TVQMessageBox::SetAnswerAutomatically(true);
        TVQMessageBox::ClearShown();
        Users = std::make_unique<TUserList>();
        Users->AddUser(QString::fromUtf8("Anna Müller"), 0, 1);
        Users->AddUser(QStringLiteral("Bob O'Brien"), 0, 2);
        Users->AddUser(QStringLiteral("Carl"), 0, 3);
        Users->AddUser(QStringLiteral("Dora"), 0, 4);
        Users->AddUser(QStringLiteral("Support"), 10, 0);
        Users->AddUser(QStringLiteral("Support agent Bob O'Brien"), 10, 2);
        UserList = Users.get();
        Connection = std::make_unique<TDBConnection>();
        Images = std::make_unique<TCommonData>();
        CommonData = Images.get();
        SetApplicationExceptionHandler(
            [this](std::exception_ptr Error) { Errors.append(ExceptionMessage(Error)); });
        Builder = std::make_unique<TdlgQueryBuilder>(nullptr);
        Builder->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(Builder.get()));
        QCoreApplication::processEvents();
    }
    void TearDown() override {
        Builder.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        SetApplicationExceptionHandler(nullptr);
        Connection.reset();
        Images.reset();
        UserList = nullptr;
        Users.reset();
        TVQMessageBox::SetAnswerAutomatically(false);
    }

    TVQQuery& Query() { return Builder->Query(); }
    // Adds participants from the user list after the selected line.
    void AddUsers(const QStringList& Names) {
        SelectUsers(*Builder, Names);
        QCoreApplication::processEvents();
        Builder->aPartipiants->trigger();
    }
    void Select(int Line) {
        Builder->lbQuery->SetItemIndex(Line);
        QCoreApplication::processEvents();
    }

    std::unique_ptr<TUserList> Users;
    std::unique_ptr<TDBConnection> Connection;
    std::unique_ptr<TCommonData> Images;
    std::unique_ptr<TdlgQueryBuilder> Builder;
    QStringList Errors;
};

} // namespace viewer_test
