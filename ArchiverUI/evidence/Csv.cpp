#include "Csv.h"

QString CsvField(const QString& Value) {
    bool Quote = !Value.isEmpty() && (Value.front().isSpace() || Value.back().isSpace());
    for (const QChar C : Value) {
        if (C == QLatin1Char(',') || C == QLatin1Char('"') || C == QLatin1Char('\r') ||
            C == QLatin1Char('\n')) {
            Quote = true;
            break;
        }
    }
    if (!Quote)
        return Value;
    QString Quoted = Value;
    Quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + Quoted + QLatin1Char('"');
}

QString GuardedCell(const QString& Value) {
    if (Value.isEmpty())
        return Value;
    switch (Value.front().unicode()) {
    case u'=':
    case u'+':
    case u'-':
    case u'@':
    case u'\t':
    case u'\r':
        return QLatin1Char('\'') + Value;
    default:
        return Value;
    }
}

QByteArray CsvLine(const QStringList& Fields) {
    QString Line;
    for (qsizetype I = 0; I < Fields.size(); ++I) {
        if (I > 0)
            Line += QLatin1Char(',');
        Line += CsvField(Fields.at(I));
    }
    Line += QLatin1String("\r\n");
    return Line.toUtf8();
}
