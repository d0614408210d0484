#include "DialogSupport.h"

#include <QDateEdit>
#include <QDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QTimeEdit>

QString PlainCaption(const QString& Caption) {
    QString Result;
    Result.reserve(Caption.size());
    for (qsizetype I = 0; I < Caption.size(); ++I) {
        if (Caption.at(I) == QLatin1Char('&')) {
            if (I + 1 < Caption.size() && Caption.at(I + 1) == QLatin1Char('&')) {
                Result += QLatin1Char('&');
                ++I;
            }
            continue;
        }
        Result += Caption.at(I);
    }
    return Result;
}

QLabel* BuddyLabel(const QString& Caption, QWidget* Buddy, QWidget* Parent) {
    auto* Label = new QLabel(Caption, Parent);
    Label->setBuddy(Buddy);
    QString Name = PlainCaption(Caption).trimmed();
    if (Name.endsWith(QLatin1Char(':')))
        Name.chop(1);
    Buddy->setAccessibleName(Name);
    return Label;
}

QByteArray ColumnBytes(const IPC_DA_DBClient::TSelectRow& Row, int Column) {
    if (Column < 0 || Row.cols.cols_val == nullptr || quint32(Column) >= Row.cols.cols_len)
        return {};
    const char* Value = Row.cols.cols_val[Column].value;
    return Value == nullptr ? QByteArray() : QByteArray(Value);
}

QByteArray ErrorMessage(const TDAError& Error) {
    const char* Text = Error.msg;
    return Text == nullptr ? QByteArray() : QByteArray(Text);
}

QString LongTimeDisplayFormat() {
    const QString Format = QLocale().timeFormat(QLocale::LongFormat);
    QString Result;
    bool Quoted = false;
    for (const QChar C : Format) {
        if (C == QLatin1Char('\''))
            Quoted = !Quoted;
        // A time picker has no time zone section.
        if (!Quoted && C == QLatin1Char('t'))
            continue;
        Result += C;
    }
    Result = Result.trimmed();
    return Result.isEmpty() ? QStringLiteral("HH:mm:ss") : Result;
}

QString ShortDateDisplayFormat() {
    QString Format = QLocale().dateFormat(QLocale::ShortFormat);
    // Two year digits would confine the picker to one century.
    if (!Format.contains(QLatin1String("yyyy")))
        Format.replace(QLatin1String("yy"), QLatin1String("yyyy"));
    return Format.isEmpty() ? QStringLiteral("yyyy-MM-dd") : Format;
}

QDateEdit* NewDatePicker(const char* Name, QWidget* Parent) {
    auto* Picker = new QDateEdit(Parent);
    Picker->setObjectName(QLatin1String(Name));
    Picker->setCalendarPopup(false);
    Picker->setDisplayFormat(ShortDateDisplayFormat());
    Picker->setMinimumDate(QDate(100, 1, 1));
    Picker->setMaximumDate(QDate(9999, 12, 31));
    return Picker;
}

QTimeEdit* NewTimePicker(const char* Name, QWidget* Parent) {
    auto* Picker = new QTimeEdit(Parent);
    Picker->setObjectName(QLatin1String(Name));
    Picker->setDisplayFormat(LongTimeDisplayFormat());
    return Picker;
}

void SplitForPickers(TDateTime Value, QDate& Date, QTime& Time) {
    if (!IsValidDateTime(Value))
        Value = Now();
    DecodeDateTime(Value, Date, Time);
}

bool CancelOnEscape(QKeyEvent* Event, QPushButton* Cancel) {
    if (Event->key() != Qt::Key_Escape || Event->modifiers() != Qt::NoModifier)
        return false;
    Cancel->setFocus();
    if (auto* Dialog = qobject_cast<QDialog*>(Cancel->window()))
        Dialog->reject();
    Event->accept();
    return true;
}
