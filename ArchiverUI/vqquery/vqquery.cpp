// vqquery: reads ".vqq" query files with the viewer's own query model and
// prints their SQL, their conditions and their validity.
//
//   vqquery sql FILE.vqq --server-type N [--raw]
//   vqquery show FILE.vqq
//   vqquery check FILE.vqq
//   vqquery resave IN.vqq OUT.vqq
//   vqquery expand --server-type N      (SQL text on standard input)
//
// Exit codes: 0 success, 1 the query cannot be executed (check), 2 failure.

#include "VQQuery.h"
#include "Conditions.h"
#include "SQLMacros.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdio>
#include <ctime>
#include <exception>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>

namespace {

constexpr int ExitOk = 0;
constexpr int ExitQueryError = 1;
constexpr int ExitFailure = 2;

const char* const Usage = "usage: vqquery sql FILE.vqq --server-type N [--raw]\n"
                          "       vqquery show FILE.vqq\n"
                          "       vqquery check FILE.vqq\n"
                          "       vqquery resave IN.vqq OUT.vqq\n"
                          "       vqquery expand --server-type N\n";

class EUsage : public std::exception {};

void Print(const QString& Text) {
    const QByteArray Data = Text.toUtf8();
    std::fwrite(Data.constData(), 1, size_t(Data.size()), stdout);
}

struct TOptions {
    QStringList Files;
    std::optional<int> ServerType;
    bool Raw = false;
};

TOptions ParseOptions(const QStringList& Args) {
    TOptions Options;
    for (qsizetype I = 0; I < Args.size(); ++I) {
        const QString& Arg = Args[I];
        if (Arg == u"--server-type") {
            if (I + 1 >= Args.size()) {
                throw EUsage();
            }
            bool Ok = false;
            const int Value = Args[++I].toInt(&Ok);
            if (!Ok) {
                throw EUsage();
            }
            Options.ServerType = Value;
        } else if (Arg == u"--raw") {
            Options.Raw = true;
        } else if (Arg.startsWith(u"--")) {
            throw EUsage();
        } else {
            Options.Files.append(Arg);
        }
    }
    return Options;
}

int CommandSql(const TOptions& Options) {
    if (Options.Files.size() != 1 || !Options.ServerType) {
        throw EUsage();
    }
    TVQQuery Query;
    Query.LoadFromFile(Options.Files[0]);
    QString Sql = Query.BuildQuery(*Options.ServerType);
    if (!Options.Raw) {
        Sql = ExpandSQLMacros(*Options.ServerType, Sql);
    }
    Print(Sql + QLatin1Char('\n'));
    return ExitOk;
}

int CommandShow(const TOptions& Options) {
    if (Options.Files.size() != 1 || Options.ServerType || Options.Raw) {
        throw EUsage();
    }
    TVQQuery Query;
    Query.LoadFromFile(Options.Files[0]);
    // One look at the whole query serves every line's validity.
    const TQueryFacts Facts = TQueryFacts::Build(Query);
    for (int I = 0; I < Query.Count(); ++I) {
        const TAQCondition* Condition = Query.GetCondition(I);
        const QString Kind = Condition->Kind() < ConditionKindCount
                                 ? QString::fromLatin1(ConditionKindNames[Condition->Kind()])
                                 : QString::number(Condition->Kind());
        Print(Kind + QLatin1Char('\t') + Condition->Caption() + QLatin1Char('\t') +
              Condition->DisplayString() + QLatin1Char('\t') +
              (Condition->HasError(Facts) ? QStringLiteral("error") : QStringLiteral("ok")) +
              QLatin1Char('\n'));
    }
    return ExitOk;
}

int CommandCheck(const TOptions& Options) {
    if (Options.Files.size() != 1 || Options.ServerType || Options.Raw) {
        throw EUsage();
    }
    TVQQuery Query;
    Query.LoadFromFile(Options.Files[0]);
    if (!Query.HasError()) {
        return ExitOk;
    }
    std::cerr << Query.ErrorReason().toStdString() << '\n';
    return ExitQueryError;
}

int CommandResave(const TOptions& Options) {
    if (Options.Files.size() != 2 || Options.ServerType || Options.Raw) {
        throw EUsage();
    }
    TVQQuery Query;
    Query.LoadFromFile(Options.Files[0]);
    Query.SaveToFile(Options.Files[1]);
    return ExitOk;
}

int CommandExpand(const TOptions& Options) {
    if (!Options.Files.isEmpty() || !Options.ServerType || Options.Raw) {
        throw EUsage();
    }
    const std::string Input((std::istreambuf_iterator<char>(std::cin)),
                            std::istreambuf_iterator<char>());
    const QString Sql = QString::fromUtf8(Input.data(), qsizetype(Input.size()));
    Print(ExpandSQLMacros(*Options.ServerType, Sql));
    return ExitOk;
}

int Run(const QStringList& Args) {
    if (Args.isEmpty()) {
        throw EUsage();
    }
    const QString Command = Args[0];
    if (Args.size() == 1 && (Command == u"--help" || Command == u"-h")) {
        std::cout << Usage;
        return ExitOk;
    }
    if (Args.size() == 1 && Command == u"--version") {
        std::cout << "vqquery " VQ_VERSION "\n";
        return ExitOk;
    }
    const TOptions Options = ParseOptions(Args.mid(1));
    if (Command == u"sql") {
        return CommandSql(Options);
    }
    if (Command == u"show") {
        return CommandShow(Options);
    }
    if (Command == u"check") {
        return CommandCheck(Options);
    }
    if (Command == u"resave") {
        return CommandResave(Options);
    }
    if (Command == u"expand") {
        return CommandExpand(Options);
    }
    throw EUsage();
}

} // namespace

int main(int argc, char** argv) {
    // Local times follow the TZ variable of the process.
    tzset();
    QStringList Args;
    for (int I = 1; I < argc; ++I) {
        Args.append(QString::fromLocal8Bit(argv[I]));
    }
    try {
        return Run(Args);
    } catch (const EUsage&) {
        std::cerr << Usage;
    } catch (const std::exception& Error) {
        std::cerr << "vqquery: " << Error.what() << '\n';
    }
    return ExitFailure;
}
