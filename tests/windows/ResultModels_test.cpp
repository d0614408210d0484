// The list model over the visible rows and the tree model of the views,
// checked by Qt's model tester while rows arrive, the list is reset and
// nodes are added.
#include "ResultsTestSupport.h"

#include "CommonData.h"
#include "ResultModels.h"

#include <QAbstractItemModelTester>
#include <QBrush>
#include <QFont>
#include <QPixmap>

#include <vector>

namespace {

void AddRow(TViewItemList& List, int Id, const char* Type, const char* Name, const char* User,
            const char* Role) {
    const QByteArray IdText = QByteArray::number(Id);
    const QByteArray Time = QByteArray::number(1700000000 + Id * 60);
    const QByteArray CallId = "CALL-" + IdText;
    const char* Columns[] = {IdText.constData(),
                             Type,
                             CallId.constData(),
                             Time.constData(),
                             Name,
                             User,
                             "0",
                             "",
                             Role,
                             "wav"};
    bool Invalid = false;
    qint64 BadRole = 0;
    List.AddRow(Columns, 10, Invalid, BadRole);
}

class ResultListModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        State.Items = &Items;
        State.Visible = &Visible;
        State.SessionID = &Session;
        State.SelCount = &SelCount;
        State.SortColumn = &SortColumn;
        State.SortAscending = &Ascending;
        Model = std::make_unique<TResultListModel>(State, nullptr);
        Tester = std::make_unique<QAbstractItemModelTester>(
            Model.get(), QAbstractItemModelTester::FailureReportingMode::Fatal);
        for (int Id = 1; Id <= 6; ++Id) {
            AddRow(Items, Id, Id % 2 ? "im" : "callrec", "Anna", "5", "1");
            AddRow(Items, Id, Id % 2 ? "im" : "callrec", Id < 4 ? "Ben" : "Carl",
                   Id < 4 ? "6" : "7", "0");
        }
        for (int Row = 0; Row < Items.Count(); Row += 2)
            Visible.push_back(quint32(Row));
    }

    TViewItemList Items;
    std::vector<quint32> Visible;
    QString Session;
    int SelCount = 0;
    int SortColumn = 0;
    bool Ascending = true;
    TResultListState State;
    std::unique_ptr<TResultListModel> Model;
    std::unique_ptr<QAbstractItemModelTester> Tester;
};

} // namespace

TEST_F(ResultListModelTest, RowsAreTheVisibleRowsAndArriveInSteps) {
    EXPECT_EQ(Model->rowCount(), 0);
    Model->SetRowCount(2);
    Model->SetRowCount(6);
    ASSERT_EQ(Model->rowCount(), 6);
    EXPECT_EQ(Model->columnCount(), 3);
    EXPECT_EQ(Model->index(1, 1).data().toString(), Items.Participants(2));
    EXPECT_EQ(Model->index(1, 2).data().toString(), QStringLiteral("CALL-2"));
    EXPECT_EQ(Model->index(1, 0).data().toString(), Items.DateTimeStr(2));
    EXPECT_TRUE(Model->index(5, 0).flags().testFlag(Qt::ItemIsSelectable));
    EXPECT_FALSE(Model->index(5, 0).flags().testFlag(Qt::ItemIsEditable));
    // Rows of a change of the whole list are shown only after it.
    Model->BeginReset();
    Visible.resize(3);
    Model->SetRowCount(3);
    Model->EndReset();
    EXPECT_EQ(Model->rowCount(), 3);
    Model->SetRowCount(0);
    EXPECT_EQ(Model->rowCount(), 0);
}

TEST_F(ResultListModelTest, OddRowsAreShadedUnlessSelected) {
    Model->SetRowCount(6);
    EXPECT_FALSE(Model->index(0, 0).data(Qt::BackgroundRole).isValid());
    const QBrush Shade = Model->index(1, 2).data(Qt::BackgroundRole).value<QBrush>();
    EXPECT_EQ(Shade.color(), QColor(245, 244, 247));
    Items[int(Visible[1])].FSelected = true;
    EXPECT_FALSE(Model->index(1, 2).data(Qt::BackgroundRole).isValid());
}

TEST_F(ResultListModelTest, RowsOfTheCurrentSessionAreUnderlined) {
    Model->SetRowCount(6);
    Session = Items.SessionID(0);
    SelCount = 1;
    // Records 1 and 3 are Anna and Ben; 5 is Anna and Carl.
    EXPECT_TRUE(Model->index(0, 1).data(Qt::FontRole).value<QFont>().underline());
    EXPECT_TRUE(Model->index(2, 0).data(Qt::FontRole).value<QFont>().underline());
    EXPECT_FALSE(Model->index(4, 0).data(Qt::FontRole).isValid());
    SelCount = 2;
    EXPECT_FALSE(Model->index(0, 1).data(Qt::FontRole).isValid());
}

TEST_F(ResultListModelTest, RowImageShowsTheMarkBesideTheMediaImage) {
    TCommonData Data;
    QPixmap Mark(20, 20);
    Mark.fill(Qt::red);
    QPixmap Down(20, 20);
    Down.fill(Qt::blue);
    QPixmap Up(20, 20);
    Up.fill(Qt::green);
    Model->SetImages(Mark, &Data.MediaImages, Down, Up);
    Model->SetRowCount(6);
    const QImage Plain = Model->index(0, 0).data(Qt::DecorationRole).value<QPixmap>().toImage();
    ASSERT_EQ(Plain.width(), TResultListModel::ImageWidth);
    EXPECT_EQ(qAlpha(Plain.pixel(5, 10)), 0);
    Items[0].FMarked = true;
    const QImage Marked = Model->index(0, 0).data(Qt::DecorationRole).value<QPixmap>().toImage();
    EXPECT_EQ(QColor(Marked.pixel(5, 10)), QColor(Qt::red));
    // The media image stands right of the mark, the same either way.
    EXPECT_EQ(Marked.pixel(32, 10), Plain.pixel(32, 10));
    EXPECT_FALSE(Model->index(0, 1).data(Qt::DecorationRole).isValid());
    EXPECT_TRUE(Model->index(0, 0).data(Qt::AccessibleTextRole).toString().endsWith(", marked"));

    EXPECT_EQ(Model->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Date and time"));
    EXPECT_EQ(Model->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Participants"));
    EXPECT_EQ(Model->headerData(2, Qt::Horizontal).toString(), QStringLiteral("Global Call ID"));
    auto HeaderColour = [&](int Section) {
        return QColor(Model->headerData(Section, Qt::Horizontal, Qt::DecorationRole)
                          .value<QPixmap>()
                          .toImage()
                          .pixel(10, 10));
    };
    EXPECT_EQ(HeaderColour(0), QColor(Qt::green));
    Ascending = false;
    EXPECT_EQ(HeaderColour(0), QColor(Qt::blue));
    EXPECT_FALSE(Model->headerData(1, Qt::Horizontal, Qt::DecorationRole).isValid());
}

TEST(ViewTreeModel, LevelsKeepTheOrderOfTheirTexts) {
    TViewTreeModel Model(nullptr);
    QAbstractItemModelTester Tester(&Model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    TViewNode* Root = Model.Add(nullptr, QStringLiteral("All"), 16, nullptr);
    Model.Add(Root, QStringLiteral("instant message"), 2, nullptr);
    Model.Add(Root, QStringLiteral("Fax"), 5, nullptr);
    TViewNode* Anna = Model.Add(Root, QStringLiteral("Anna"), 15, nullptr);
    Model.Add(Anna, QStringLiteral("Voice mail"), 4, nullptr);
    Model.Add(Anna, QStringLiteral("Call recording"), 3, nullptr);
    ASSERT_EQ(Model.rowCount(), 1);
    const QModelIndex RootIndex = Model.index(0, 0);
    ASSERT_EQ(Model.rowCount(RootIndex), 3);
    EXPECT_EQ(Model.index(0, 0, RootIndex).data().toString(), QStringLiteral("Anna"));
    EXPECT_EQ(Model.index(1, 0, RootIndex).data().toString(), QStringLiteral("Fax"));
    EXPECT_EQ(Model.index(2, 0, RootIndex).data().toString(), QStringLiteral("instant message"));
    const QModelIndex AnnaIndex = Model.IndexOf(Anna);
    EXPECT_EQ(AnnaIndex.parent(), RootIndex);
    EXPECT_EQ(Model.Node(AnnaIndex), Anna);
    EXPECT_EQ(Model.index(0, 0, AnnaIndex).data().toString(), QStringLiteral("Call recording"));
    QStringList Order;
    for (const TViewNode* N : Model.Nodes())
        Order.append(N->Text);
    EXPECT_EQ(Order, QStringList({"All", "Anna", "Call recording", "Voice mail", "Fax",
                                  "instant message"}));
    Model.Clear();
    EXPECT_EQ(Model.rowCount(), 0);
}
