#include "DBInterface.h"
#include "FakeLibrary.h"

#include "TestWindow.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using IPC_DA_DBClient::TDeleteComplete;
using IPC_DA_DBClient::TDownloadProcess;
using IPC_DA_DBClient::TSearchProcess;
using IPC_DA_DBClient::TSelectResult;

class TRecordingListener : public TDBListener {
public:
    std::vector<std::pair<std::string, const void*>> Calls;
    void SelectResult(const TSelectResult* res) override { Calls.push_back({"select", res}); }
    void DeleteComplete(const TDeleteComplete* res) override { Calls.push_back({"delete", res}); }
    void DownloadProcess(const TDownloadProcess* res) override {
        Calls.push_back({"download", res});
    }
    void SearchProcess(const TSearchProcess* res) override { Calls.push_back({"search", res}); }
};

class BindingTest : public ::testing::Test {
protected:
    void SetUp() override {
        InstallFakeLibrary();
        Fake.Connected = true;
    }
    void TearDown() override {
        Binding().SetListener(nullptr);
        InstallRealLibrary();
    }
    static TDBInterface& Binding() { return TDBInterface::GetInstance(); }
};

TEST_F(BindingTest, ThereIsOneInstance) {
    EXPECT_EQ(&TDBInterface::GetInstance(), &TDBInterface::GetInstance());
}

TEST_F(BindingTest, SQLExecuteSendsTheIdAndTheStatement) {
    Binding().SQLExecute(0x1234, QByteArray("SELECT 1"));
    ASSERT_EQ(Fake.Requests.size(), 1u);
    EXPECT_EQ(Fake.Requests[0].Kind, "SQLExecute");
    EXPECT_EQ(Fake.Requests[0].Id, 0x1234u);
    EXPECT_EQ(Fake.Requests[0].Statement, "SELECT 1");
}

TEST_F(BindingTest, AnEmptyIdListGoesAsCountZeroAndNoBlock) {
    Binding().Delete(7, {});
    ASSERT_EQ(Fake.Requests.size(), 1u);
    EXPECT_EQ(Fake.Requests[0].Kind, "Delete");
    EXPECT_TRUE(Fake.Requests[0].Ids.empty());
    EXPECT_TRUE(Fake.Requests[0].IdsNull);
}

TEST_F(BindingTest, IdsGoInTheirOrder) {
    Binding().Download(9, {5, 0xFFFFFFFEu, 1});
    ASSERT_EQ(Fake.Requests.size(), 1u);
    EXPECT_EQ(Fake.Requests[0].Kind, "Download");
    EXPECT_EQ(Fake.Requests[0].Id, 9u);
    EXPECT_EQ(Fake.Requests[0].Ids, (std::vector<quint32>{5, 0xFFFFFFFEu, 1}));
    EXPECT_FALSE(Fake.Requests[0].IdsNull);
}

TEST_F(BindingTest, SearchPhrasesGoAsUtf8WithTheModeAndIds) {
    Binding().SearchText(11, {3, 4}, smAnyOf,
                         {QStringLiteral("plain"), QStringLiteral("gr\u00fc\u00dfe \u4e2d")});
    ASSERT_EQ(Fake.Requests.size(), 1u);
    const TFakeRequest& R = Fake.Requests[0];
    EXPECT_EQ(R.Kind, "SearchText");
    EXPECT_EQ(R.Id, 11u);
    EXPECT_EQ(R.Ids, (std::vector<quint32>{3, 4}));
    EXPECT_EQ(R.Mode, 1);
    ASSERT_EQ(R.Phrases.size(), 2u);
    EXPECT_EQ(R.Phrases[0], "plain");
    EXPECT_EQ(R.Phrases[1], "gr\xC3\xBC\xC3\x9F"
                            "e \xE4\xB8\xAD");
}

TEST_F(BindingTest, NoPhrasesGoAsCountZero) {
    Binding().SearchText(12, {}, smAllOf, {});
    ASSERT_EQ(Fake.Requests.size(), 1u);
    EXPECT_TRUE(Fake.Requests[0].Phrases.empty());
    EXPECT_TRUE(Fake.Requests[0].PhrasesNull);
    EXPECT_EQ(Fake.Requests[0].Mode, 0);
}

TEST_F(BindingTest, CancelOperationNamesTheKindAndTheId) {
    Binding().CancelOperation(opDownload, 77);
    ASSERT_EQ(Fake.Requests.size(), 1u);
    EXPECT_EQ(Fake.Requests[0].Kind, "CancelOperation");
    EXPECT_EQ(Fake.Requests[0].Operation, 2);
    EXPECT_EQ(Fake.Requests[0].Id, 77u);
}

TEST_F(BindingTest, ConnectPassesTheSettingsAndReturnsTheCodeUnchanged) {
    Fake.Connected = false;
    Fake.ConnectCodes = {8, -1};
    EXPECT_EQ(Binding().Connect(QStringLiteral("archive"), 7456, QStringLiteral("pw")), 8);
    EXPECT_EQ(Fake.ConnectHost, "archive");
    EXPECT_EQ(Fake.ConnectPort, 7456);
    EXPECT_EQ(Fake.ConnectPassword, "pw");
    EXPECT_EQ(Binding().Connect(QStringLiteral("archive"), 1, QString()), -1);
}

TEST_F(BindingTest, APortOutsideSixteenBitsIsRefusedBeforeTheLibrary) {
    Fake.Connected = false;
    try {
        Binding().Connect(QStringLiteral("archive"), 65536 + 7456, QStringLiteral("pw"));
        FAIL() << "the port was cut to 16 bits";
    } catch (const EConnectionException& E) {
        EXPECT_EQ(E.Message(), QStringLiteral("Invalid port"));
    }
    EXPECT_EQ(Fake.ConnectCalls, 0);
}

TEST_F(BindingTest, AnRpcErrorDuringSQLExecuteIsRaisedAfterTheCall) {
    Fake.RequestFailure = {1, "communication_error"};
    try {
        Binding().SQLExecute(1, QByteArray("SELECT media_type FROM media"));
        FAIL() << "no exception";
    } catch (const EQREXException& E) {
        EXPECT_EQ(E.Message(), QStringLiteral("communication_error"));
        EXPECT_STREQ(E.what(), "communication_error");
    }
    // The call did reach the library, which reported as its last act.
    EXPECT_EQ(Fake.Count("SQLExecute"), 1);
}

TEST_F(BindingTest, EachReportKindRaisesItsClass) {
    Fake.RequestFailure = {0, "Not connected"};
    EXPECT_THROW(Binding().Delete(1, {1}), EConnectionException);
    Fake.RequestFailure = {2, "Out of memory"};
    try {
        Binding().Download(1, {1});
        FAIL();
    } catch (const EGenericExceptoin& E) {
        EXPECT_EQ(E.Message(), QStringLiteral("Out of memory"));
    }
    Fake.RequestFailure = {3, "Unknown exception"};
    try {
        Binding().SearchText(1, {1}, smAllOf, {QStringLiteral("x")});
        FAIL();
    } catch (const EConnectionException&) {
        FAIL() << "kind 3 is no connection error";
    } catch (const EQREXException&) {
        FAIL() << "kind 3 is no RPC error";
    } catch (const EGenericExceptoin&) {
        FAIL() << "kind 3 is no runtime error";
    } catch (const EDllException& E) {
        EXPECT_EQ(E.Message(), QStringLiteral("Unknown exception"));
    }
}

TEST_F(BindingTest, ReportsOfOtherKindsAreIgnored) {
    Fake.RequestFailure = {4, "odd"};
    EXPECT_NO_THROW(Binding().CancelOperation(opSQLExecute, 1));
    TDBInterface::OnException("negative", -1);
    EXPECT_NO_THROW(TDBInterface::RaiseLibraryError());
}

TEST_F(BindingTest, TheCallbackItselfOnlyRecordsAndTheReportIsRaisedOnce) {
    // The library calls this on its own frames: it must return normally.
    EXPECT_NO_THROW(TDBInterface::OnException("selector_error", 1));
    try {
        TDBInterface::RaiseLibraryError();
        FAIL();
    } catch (const EQREXException& E) {
        EXPECT_EQ(E.Message(), QStringLiteral("selector_error"));
    }
    EXPECT_NO_THROW(TDBInterface::RaiseLibraryError());
}

TEST_F(BindingTest, TheFirstOfTwoReportsIsTheCause) {
    TDBInterface::OnException("first", 2);
    TDBInterface::OnException("second", 1);
    EXPECT_THROW(TDBInterface::RaiseLibraryError(), EGenericExceptoin);
}

TEST_F(BindingTest, AStaleReportDoesNotFailTheNextCall) {
    TDBInterface::OnException("left over", 1);
    EXPECT_NO_THROW(Binding().SQLExecute(2, QByteArray("SELECT 2")));
}

TEST_F(BindingTest, AReportOnAnotherThreadStaysThere) {
    std::thread T([] { TDBInterface::OnException("elsewhere", 0); });
    T.join();
    EXPECT_NO_THROW(TDBInterface::RaiseLibraryError());
}

TEST_F(BindingTest, ConnectNeverRaisesAStrayReport) {
    Fake.Connected = false;
    TDBInterface::OnException("stray", 1);
    EXPECT_EQ(Binding().Connect(QStringLiteral("h"), 1, QStringLiteral("p")), 0);
    EXPECT_NO_THROW(TDBInterface::RaiseLibraryError());
}

TEST_F(BindingTest, GetStatusCopiesTheMessageAndReleasesTheRecord) {
    Fake.StatusState = 0;
    Fake.StatusMessage = "Running 3 queries";
    QString Message = QStringLiteral("old");
    EXPECT_EQ(Binding().GetStatus(Message), stBusy);
    EXPECT_EQ(Message, QStringLiteral("Running 3 queries"));
    EXPECT_EQ(Fake.StatusFrees, 1);
    EXPECT_EQ(Fake.StatusLive, 0);
}

TEST_F(BindingTest, GetStatusReleasesAnEmptyMessageToo) {
    Fake.StatusState = 1;
    Fake.StatusMessage.clear();
    QString Message = QStringLiteral("old");
    EXPECT_EQ(Binding().GetStatus(Message), stReady);
    EXPECT_TRUE(Message.isEmpty());
    EXPECT_EQ(Fake.StatusFrees, 1);
    EXPECT_EQ(Fake.StatusLive, 0);
}

TEST_F(BindingTest, AFailedGetStatusIsReleasedAndRaised) {
    Fake.StatusFailure = {1, "selector_error"};
    Fake.StatusFailures = 1;
    QString Message = QStringLiteral("old");
    EXPECT_THROW(Binding().GetStatus(Message), EQREXException);
    EXPECT_EQ(Fake.StatusFrees, 1);
    EXPECT_TRUE(Message.isEmpty());
}

TEST_F(BindingTest, AnUnknownServerStateCountsAsFailed) {
    Fake.StatusState = 2;
    QString Message;
    EXPECT_EQ(Binding().GetStatus(Message), stFailed);
    Fake.StatusState = 9;
    EXPECT_EQ(Binding().GetStatus(Message), stFailed);
}

TEST_F(BindingTest, GetServerTypeIsPassedThrough) {
    Fake.ServerType = 3;
    EXPECT_EQ(Binding().GetServerType(), 3);
    Fake.Connected = false;
    EXPECT_THROW(Binding().GetServerType(), EConnectionException);
}

TEST_F(BindingTest, ResultsWithoutAListenerAreDropped) {
    TSelectResult Select{};
    TDownloadProcess Download{};
    EXPECT_NO_THROW(TDBInterface::OnSelectResult(&Select));
    EXPECT_NO_THROW(TDBInterface::OnDownloadProcess(&Download));
}

TEST_F(BindingTest, EachResultGoesToItsListenerOperation) {
    TRecordingListener L;
    Binding().SetListener(&L);
    TSelectResult Select{};
    TDeleteComplete Delete{};
    TDownloadProcess Download{};
    TSearchProcess Search{};
    TDBInterface::OnSelectResult(&Select);
    TDBInterface::OnDeleteComplete(&Delete);
    TDBInterface::OnDownloadProcess(&Download);
    TDBInterface::OnSearchProcess(&Search);
    ASSERT_EQ(L.Calls.size(), 4u);
    EXPECT_EQ(L.Calls[0], (std::pair<std::string, const void*>{"select", &Select}));
    EXPECT_EQ(L.Calls[1], (std::pair<std::string, const void*>{"delete", &Delete}));
    EXPECT_EQ(L.Calls[2], (std::pair<std::string, const void*>{"download", &Download}));
    EXPECT_EQ(L.Calls[3], (std::pair<std::string, const void*>{"search", &Search}));
}

// The real library, with no server: every request reports "Not connected".
class RealLibraryTest : public ::testing::Test {
protected:
    void SetUp() override { InstallRealLibrary(); }
};

TEST_F(RealLibraryTest, RequestsWithoutAConnectionRaiseNotConnected) {
    TDBInterface& B = TDBInterface::GetInstance();
    try {
        B.SQLExecute(1, QByteArray("SELECT 1"));
        FAIL() << "no exception";
    } catch (const EConnectionException& E) {
        EXPECT_EQ(E.Message(), QStringLiteral("Not connected"));
    }
    EXPECT_THROW(B.Delete(1, {}), EConnectionException);
    EXPECT_THROW(B.Download(1, {1, 2}), EConnectionException);
    EXPECT_THROW(B.SearchText(1, {1}, smAnyOf, {QStringLiteral("a")}), EConnectionException);
    EXPECT_THROW(B.CancelOperation(opSQLExecute, 0), EConnectionException);
    EXPECT_THROW(B.GetServerType(), EConnectionException);
    QString Message;
    EXPECT_THROW(B.GetStatus(Message), EConnectionException);
    EXPECT_NO_THROW(B.Disconnect());
}

} // namespace
