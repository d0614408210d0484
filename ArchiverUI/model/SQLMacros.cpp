#include "SQLMacros.h"

#include "ModelErrors.h"

#include <array>

namespace {

enum TMacroFunction { mfNone = 0, mfConcat = 1, mfRight = 2, mfLength = 3, mfIgnoreIndex = 4 };

// Index 0 is the empty name, which never matches a macro.
constexpr std::array<const char*, 5> MacroFunctionNames = {"", "CONCAT", "RIGHT", "LENGTH",
                                                           "IGNOREINDEX"};

TMacroFunction LookupFunction(const QString& Name) {
    for (size_t I = 1; I < MacroFunctionNames.size(); ++I) {
        if (Name == QLatin1String(MacroFunctionNames[I])) {
            return TMacroFunction(I);
        }
    }
    return mfNone;
}

void CheckArgumentCount(const QStringList& Args, qsizetype Expected) {
    if (Args.size() != Expected) {
        ConditionsAssert(QString::fromLatin1(SAssertionFailure));
    }
}

QString Render(TMacroFunction Function, int ServerType, const QStringList& Args) {
    switch (Function) {
    case mfConcat:
        switch (ServerType) {
        // That engine concatenates with "+"; a bare list of arguments would
        // not be an expression.
        case stServerType1:
            return Join(Args, QStringLiteral(" + "));
        case stServerType2:
            return QStringLiteral("CONCAT(%1)").arg(Join(Args, QStringLiteral(", ")));
        case stServerType3:
            return Join(Args, QStringLiteral(" || "));
        default:
            return QString();
        }
    case mfRight:
        CheckArgumentCount(Args, 2);
        switch (ServerType) {
        case stServerType1:
            return QStringLiteral("RIGHT(%1, %2)").arg(Args[0], Args[1]);
        case stServerType2:
        case stServerType3:
            return QStringLiteral("SUBSTR(%1, -%2)").arg(Args[0], Args[1]);
        default:
            return QString();
        }
    case mfLength:
        CheckArgumentCount(Args, 1);
        switch (ServerType) {
        case stServerType1:
            return QStringLiteral("LEN(%1)").arg(Args[0]);
        case stServerType2:
        case stServerType3:
            return QStringLiteral("LENGTH(%1)").arg(Args[0]);
        default:
            return QString();
        }
    case mfIgnoreIndex:
        CheckArgumentCount(Args, 1);
        if (ServerType == stServerType2) {
            return QStringLiteral("IGNORE INDEX (%1)").arg(Args[0]);
        }
        return QString();
    case mfNone:
        break;
    }
    return QString();
}

// The next "#F_" at or after Pos that stands outside a quoted literal.
// Literals carry values the operator typed or a query file brought: a
// "#F_" inside one is data, and expanding it could move the literal's
// closing quote into a macro's argument and open the statement to the
// text after it. InLiteral carries the quoting state from one call to the
// next; a doubled quote toggles it twice and so stays inside.
qsizetype FindMacro(const QString& Sql, qsizetype Pos, bool& InLiteral) {
    for (qsizetype I = Pos; I < Sql.size(); ++I) {
        const QChar C = Sql[I];
        if (C == QLatin1Char('\'')) {
            InLiteral = !InLiteral;
        } else if (!InLiteral && C == QLatin1Char('#') &&
                   QStringView(Sql).mid(I, 3) == QLatin1String("#F_")) {
            return I;
        }
    }
    return -1;
}

} // namespace

QString TrimBlanks(const QString& Text) {
    qsizetype Start = 0;
    qsizetype End = Text.size();
    while (Start < End && Text[Start].unicode() <= 0x20) {
        ++Start;
    }
    while (End > Start && Text[End - 1].unicode() <= 0x20) {
        --End;
    }
    return Text.mid(Start, End - Start);
}

QStringList Split(const QString& Text, const QString& Delimiter) {
    QStringList Result;
    if (Text.isEmpty()) {
        return Result;
    }
    const QStringList Pieces = Text.split(Delimiter, Qt::KeepEmptyParts);
    Result.reserve(Pieces.size());
    for (const QString& Piece : Pieces) {
        Result.append(TrimBlanks(Piece));
    }
    return Result;
}

QString Join(const QStringList& Items, const QString& Separator) {
    return Items.join(Separator);
}

QString ExpandSQLMacros(int ServerType, const QString& Sql) {
    static const QString Marker = QStringLiteral("#F_");
    QString Result;
    Result.reserve(Sql.size());
    qsizetype Pos = 0;
    bool InLiteral = false;
    while (true) {
        const qsizetype Found = FindMacro(Sql, Pos, InLiteral);
        if (Found < 0) {
            Result += QStringView(Sql).mid(Pos);
            break;
        }
        Result += QStringView(Sql).mid(Pos, Found - Pos);
        const qsizetype NameStart = Found + Marker.size();
        const qsizetype Open = Sql.indexOf(QLatin1Char('('), NameStart);
        if (Open < 0) {
            ConditionsAssert(
                QStringLiteral("Element expected in Sql query: %1").arg(QLatin1Char('(')));
        }
        // The first ")" ends the arguments: arguments hold no parentheses.
        const qsizetype Close = Sql.indexOf(QLatin1Char(')'), Open + 1);
        if (Close < 0) {
            ConditionsAssert(
                QStringLiteral("Element expected in Sql query: %1").arg(QLatin1Char(')')));
        }
        const QString Name = Sql.mid(NameStart, Open - NameStart);
        const TMacroFunction Function = LookupFunction(Name);
        if (Function == mfNone) {
            ConditionsAssert(QStringLiteral("Unknown function: %1").arg(Name));
        }
        const QStringList Args = Split(Sql.mid(Open + 1, Close - Open - 1), QStringLiteral(","));
        Result += Render(Function, ServerType, Args);
        Pos = Close + 1;
    }
    return Result;
}
