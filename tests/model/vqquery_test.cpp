// Runs the built vqquery tool on query files written down byte by byte.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <fcntl.h>
#include <map>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

struct TRun {
    int ExitCode = -1;
    std::string Out;
    std::string Err;
};

std::string ReadAll(const QString& Name) {
    QFile File(Name);
    if (!File.open(QIODevice::ReadOnly)) {
        return {};
    }
    return File.readAll().toStdString();
}

class VQQueryTool : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(FDir.isValid()); }

    QString Path(const char* Name) const { return FDir.filePath(QString::fromUtf8(Name)); }

    QString Write(const char* Name, const QByteArray& Data) const {
        const QString File = Path(Name);
        QFile Out(File);
        EXPECT_TRUE(Out.open(QIODevice::WriteOnly));
        Out.write(Data);
        return File;
    }

    // Runs vqquery with the arguments, standard input and environment
    // additions; output goes through files so that no pipe can fill up.
    TRun Run(const std::vector<std::string>& Args, const std::string& Input = {},
             const std::map<std::string, std::string>& Env = {{"TZ", "UTC0"}, {"LC_ALL", "C"}}) {
        const QString InName = Write("stdin.txt", QByteArray::fromStdString(Input));
        const std::string OutName = Path("stdout.txt").toStdString();
        const std::string ErrName = Path("stderr.txt").toStdString();
        posix_spawn_file_actions_t Actions;
        posix_spawn_file_actions_init(&Actions);
        posix_spawn_file_actions_addopen(&Actions, 0, InName.toStdString().c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&Actions, 1, OutName.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&Actions, 2, ErrName.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        std::vector<std::string> Strings{VQQUERY_BINARY};
        Strings.insert(Strings.end(), Args.begin(), Args.end());
        std::vector<char*> Argv;
        for (std::string& S : Strings) {
            Argv.push_back(S.data());
        }
        Argv.push_back(nullptr);
        std::vector<std::string> EnvStrings;
        for (char** E = environ; *E != nullptr; ++E) {
            const std::string Entry(*E);
            const std::string Key = Entry.substr(0, Entry.find('='));
            if (Env.count(Key) == 0 && Key != "LANG" && Key.rfind("LC_", 0) != 0) {
                EnvStrings.push_back(Entry);
            }
        }
        for (const auto& [Key, Value] : Env) {
            EnvStrings.push_back(Key + "=" + Value);
        }
        std::vector<char*> Envp;
        for (std::string& S : EnvStrings) {
            Envp.push_back(S.data());
        }
        Envp.push_back(nullptr);
        TRun Result;
        pid_t Pid = 0;
        const int Spawned =
            posix_spawn(&Pid, VQQUERY_BINARY, &Actions, nullptr, Argv.data(), Envp.data());
        posix_spawn_file_actions_destroy(&Actions);
        EXPECT_EQ(Spawned, 0);
        if (Spawned != 0) {
            return Result;
        }
        int Status = 0;
        waitpid(Pid, &Status, 0);
        Result.ExitCode = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
        Result.Out = ReadAll(Path("stdout.txt"));
        Result.Err = ReadAll(Path("stderr.txt"));
        return Result;
    }

    QTemporaryDir FDir;
};

// The conditions of a query file, with only the properties they need; the
// reader gives the rest their defaults.
TBytes& Item(TBytes& B, int CommonID, const char* Kind) {
    B.Raw({0x01}).Prop("CID").Int32(CommonID).Prop("Kind").Ident(Kind);
    return B;
}

QByteArray MediaQuery() {
    TBytes B;
    B.Header();
    Item(B, 0x00000100, "ckLabel").Prop("Caption").Str("I want to see ").Raw({0x00});
    Item(B, 0x00020300, "ckIM").Prop("Caption").Str("instant messages").Raw({0x00});
    Item(B, 0x00050400, "ckFaxes").Prop("Caption").Str("faxes").Raw({0x00});
    Item(B, 0x000C0200, "ckTail").Prop("Prompt").Str("(add condition)").Raw({0x00});
    B.Footer();
    return B.Data();
}

const char* const HeadingType2 =
    "SELECT m.Media_ID, m.Media_Type, m.CALL_ID, m.Timestamp, Case When u.User_ID Is Not Null "
    "AND     g.Group_ID Is Not Null Then CONCAT(g.Display_Name, ' agent ', u.Display_Name)  "
    "When u.User_ID Is Not Null Then u.Display_Name When g.Group_ID Is Not Null Then "
    "g.Display_Name Else p.External_Address End As Display_Name, Coalesce(u.User_ID, 0) As "
    "User_ID, Coalesce(g.Group_ID, 0) As Group_ID, p.External_Address, p.Role, "
    "SUBSTR(m.filename, -3) FROM media AS m INNER JOIN participants AS p ON m.Media_ID = "
    "p.Media_ID Left Join users AS u ON u.User_ID = p.User_ID Left Join groups AS g ON "
    "g.Group_ID = p.Group_ID WHERE (Coalesce(p.User_ID, p.Group_ID, "
    "LENGTH(p.External_Address), 0) != 0) And ";

const char* const Tail = " ORDER BY p.Media_ID limit 20002";

} // namespace

TEST_F(VQQueryTool, SqlExpandsTheMacros) {
    const std::string File = Write("media.vqq", MediaQuery()).toStdString();
    const TRun Result = Run({"sql", File, "--server-type", "2"});
    EXPECT_EQ(Result.ExitCode, 0) << Result.Err;
    EXPECT_EQ(Result.Out,
              std::string(HeadingType2) + " m.media_type in ('im' ,'fax')" + Tail + "\n");
}

TEST_F(VQQueryTool, SqlRawKeepsTheMacros) {
    const std::string File = Write("media.vqq", MediaQuery()).toStdString();
    const TRun Result = Run({"sql", File, "--server-type", "2", "--raw"});
    EXPECT_EQ(Result.ExitCode, 0) << Result.Err;
    EXPECT_NE(Result.Out.find("Then #F_CONCAT(g.Display_Name, ' agent ', u.Display_Name)  When"),
              std::string::npos);
    EXPECT_NE(Result.Out.find("And  m.media_type in ('im' ,'fax') ORDER BY"), std::string::npos);
    // Another server type drops the macros altogether.
    const TRun Other = Run({"sql", File, "--server-type", "4"});
    EXPECT_EQ(Other.Out.find("#F_"), std::string::npos);
    EXPECT_NE(Other.Out.find("p.Role,  FROM media"), std::string::npos);
}

TEST_F(VQQueryTool, SqlFollowsTheTimeZone) {
    TBytes B;
    B.Header();
    Item(B, 0x00000100, "ckLabel").Raw({0x00});
    Item(B, 0x00080300, "ckTimeSpan")
        .Prop("DTStart")
        .Raw({0x05, 0, 0, 0, 0, 0, 0, 0xAE, 0x8E, 0x0E, 0x40}) // 2000-01-01
        .Prop("DTEnd")
        .Int32(36527)
        .Raw({0x00});
    Item(B, 0x000C0200, "ckTail").Raw({0x00});
    B.Footer();
    const std::string File = Write("span.vqq", B.Data()).toStdString();
    const TRun Utc = Run({"sql", File, "--server-type", "3"});
    EXPECT_NE(Utc.Out.find("And  ((m.Timestamp BETWEEN 946684800 AND 946771200)) ORDER BY"),
              std::string::npos)
        << Utc.Out;
    const TRun East =
        Run({"sql", File, "--server-type", "3"}, {}, {{"TZ", "<+01>-1"}, {"LC_ALL", "C"}});
    EXPECT_NE(East.Out.find("((m.Timestamp BETWEEN 946681200 AND 946767600))"), std::string::npos)
        << East.Out;
}

TEST_F(VQQueryTool, ShowListsTheConditions) {
    TBytes B;
    B.Header();
    Item(B, 0x00000100, "ckLabel")
        .Prop("Caption")
        .Str("I want to see ")
        .Prop("Prompt")
        .Str("(select media types that you want to see)")
        .Raw({0x00});
    Item(B, 0x00030300, "ckRVM").Prop("Caption").Str("call recording").Raw({0x00});
    Item(B, 0x00070400, "ckParticipants").Prop("Caption").Str("Participants").Raw({0x00});
    Item(B, 0x00070401, "ckValue")
        .Prop("Caption")
        .Str("Ann")
        .Prop("Role")
        .Ident("prSupervisor")
        .Prop("Tag")
        .Int8(5)
        .Raw({0x00});
    Item(B, 0x00080500, "ckTimeSpan")
        .Prop("Caption")
        .Str("Time Span")
        .Prop("DTStart")
        .Int32(36527)
        .Prop("DTEnd")
        .Int32(36526)
        .Raw({0x00});
    Item(B, 0x000A0600, "ckGCID").Prop("Caption").Str("Global Caller ID").Raw({0x00});
    Item(B, 0x000C0200, "ckTail").Prop("Prompt").Str("(add condition)").Raw({0x00});
    B.Footer();
    const std::string File = Write("show.vqq", B.Data()).toStdString();
    const TRun Result = Run({"show", File}, {}, {{"TZ", "UTC0"}, {"LC_ALL", "en_US.UTF-8"}});
    EXPECT_EQ(Result.ExitCode, 0) << Result.Err;
    EXPECT_EQ(Result.Out, "ckLabel\tI want to see \t(select media types that you want to see)\tok\n"
                          "ckRVM\tcall recording\t\tok\n"
                          "ckParticipants\tParticipants\t\tok\n"
                          "ckValue\tAnn\tas supervisor\tok\n"
                          "ckTimeSpan\tTime Span\tfrom 1/2/00 12:00:00 AM to 1/1/00 12:00:00 "
                          "AM\terror\n"
                          "ckGCID\tGlobal Caller ID\t00000-00-00000-000\tok\n"
                          "ckTail\t\t(add condition)\tok\n");
    // The span runs backwards, so the query cannot be executed.
    const TRun Check = Run({"check", File});
    EXPECT_EQ(Check.ExitCode, 1);
    EXPECT_NE(Check.Err.find("Time Span"), std::string::npos) << Check.Err;
}

TEST_F(VQQueryTool, CheckAcceptsAnExecutableQuery) {
    const std::string File = Write("media.vqq", MediaQuery()).toStdString();
    const TRun Result = Run({"check", File});
    EXPECT_EQ(Result.ExitCode, 0) << Result.Err;
    EXPECT_TRUE(Result.Err.empty());
    // Heading and tail alone select nothing.
    TBytes B;
    B.Header();
    Item(B, 0x00000100, "ckLabel").Raw({0x00});
    Item(B, 0x000C0200, "ckTail").Raw({0x00});
    B.Footer();
    const TRun Empty = Run({"check", Write("empty.vqq", B.Data()).toStdString()});
    EXPECT_EQ(Empty.ExitCode, 1);
    EXPECT_FALSE(Empty.Err.empty());
}

TEST_F(VQQueryTool, ResaveWritesTheFullForm) {
    TBytes Full;
    Full.Header();
    Full.Raw({0x01});
    Full.Prop("CIDCommonID").Int16(0x0100).Prop("CIDQueryID").Int8(0);
    Full.Prop("Caption").Str("I want to see ");
    Full.Prop("Kind").Ident("ckLabel").Prop("Level").Int8(0).Prop("Operator").Ident("okOR");
    Full.Prop("GCID").Str("00000-00-00000-000").Prop("Role").Ident("prAny");
    Full.Prop("Tag").Int8(0).Prop("UserKind").Ident("ukUser").Prop("CADSearchType").Int8(0);
    Full.Prop("CID").Int16(0x0100).Raw({0x00});
    Full.Footer();
    // The same condition written with lower-case names, wide integers and
    // an item number: resaving must give the canonical form above.
    TBytes Loose;
    Loose.Header();
    Loose.Int16(0).Raw({0x01});
    Loose.Prop("caption").Raw({0x14, 14, 0, 0, 0}).Text("I want to see ");
    Loose.Prop("cid").Int64(0x0100).Prop("kind").Ident("CKLABEL");
    Loose.Raw({0x00});
    Loose.Footer();
    const std::string In = Write("loose.vqq", Loose.Data()).toStdString();
    const std::string Out = Path("out.vqq").toStdString();
    const TRun Result = Run({"resave", In, Out});
    EXPECT_EQ(Result.ExitCode, 0) << Result.Err;
    QFile Saved(QString::fromStdString(Out));
    ASSERT_TRUE(Saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(Saved.readAll(), Full.Data());
}

TEST_F(VQQueryTool, ExpandReadsStandardInput) {
    const TRun Result =
        Run({"expand", "--server-type", "1"}, "SELECT #F_LENGTH(a), #F_RIGHT(b,2) FROM t\n");
    EXPECT_EQ(Result.ExitCode, 0) << Result.Err;
    EXPECT_EQ(Result.Out, "SELECT LEN(a), RIGHT(b, 2) FROM t\n");
    const TRun Unknown = Run({"expand", "--server-type", "2"}, "SELECT #F_lower(a)");
    EXPECT_EQ(Unknown.ExitCode, 2);
    EXPECT_NE(Unknown.Err.find("Unknown function: lower"), std::string::npos) << Unknown.Err;
    EXPECT_TRUE(Unknown.Out.empty());
}

TEST_F(VQQueryTool, FailuresExitWithTwo) {
    const TRun Missing = Run({"sql", Path("missing.vqq").toStdString(), "--server-type", "2"});
    EXPECT_EQ(Missing.ExitCode, 2);
    EXPECT_NE(Missing.Err.find("Cannot open file"), std::string::npos) << Missing.Err;

    const std::string Bad = Write("bad.vqq", "PK\x03\x04 not a query").toStdString();
    const TRun Format = Run({"show", Bad});
    EXPECT_EQ(Format.ExitCode, 2);
    EXPECT_NE(Format.Err.find("Invalid stream format"), std::string::npos) << Format.Err;

    TBytes Unknown;
    Unknown.Header().Raw({0x01}).Prop("Colour").Int8(1).Raw({0x00}).Footer();
    const TRun Property = Run({"check", Write("unknown.vqq", Unknown.Data()).toStdString()});
    EXPECT_EQ(Property.ExitCode, 2);
    EXPECT_NE(Property.Err.find("Property Colour does not exist"), std::string::npos)
        << Property.Err;

    const std::string Cut = Write("cut.vqq", MediaQuery().left(40)).toStdString();
    const TRun Truncated = Run({"sql", Cut, "--server-type", "1"});
    EXPECT_EQ(Truncated.ExitCode, 2);
    EXPECT_NE(Truncated.Err.find("Stream read error"), std::string::npos) << Truncated.Err;
    EXPECT_TRUE(Truncated.Out.empty());

    const TRun Resave = Run({"resave", Cut, Path("never.vqq").toStdString()});
    EXPECT_EQ(Resave.ExitCode, 2);
    EXPECT_FALSE(QFile::exists(Path("never.vqq")));
}

TEST_F(VQQueryTool, HelpAndVersionGoToStandardOutput) {
    const TRun Help = Run({"--help"});
    EXPECT_EQ(Help.ExitCode, 0);
    EXPECT_NE(Help.Out.find("usage: vqquery sql FILE.vqq"), std::string::npos) << Help.Out;
    EXPECT_TRUE(Help.Err.empty());

    const TRun Version = Run({"--version"});
    EXPECT_EQ(Version.ExitCode, 0);
    EXPECT_EQ(Version.Out, "vqquery " VQ_VERSION "\n");

    // Not an option of the commands.
    EXPECT_EQ(Run({"show", "--version"}).ExitCode, 2);
}

TEST_F(VQQueryTool, UsageErrors) {
    for (const std::vector<std::string>& Args :
         std::vector<std::vector<std::string>>{{},
                                               {"frobnicate"},
                                               {"sql", "x.vqq"},
                                               {"sql", "x.vqq", "--server-type"},
                                               {"sql", "x.vqq", "--server-type", "two"},
                                               {"show"},
                                               {"resave", "only-one.vqq"},
                                               {"expand"},
                                               {"check", "x.vqq", "--bogus"}}) {
        const TRun Result = Run(Args);
        EXPECT_EQ(Result.ExitCode, 2);
        EXPECT_NE(Result.Err.find("usage:"), std::string::npos);
    }
}
