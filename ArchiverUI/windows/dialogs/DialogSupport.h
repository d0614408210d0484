// Small pieces the viewer's dialogs share: labels that name their controls
// for a screen reader, the texts of a select result's columns, and the
// time format of the pickers.
#pragma once

#include "VQDateTime.h"
#include "vqlink/vqlink.h"

#include <QByteArray>
#include <QPointer>
#include <QString>

class QDateEdit;
class QKeyEvent;
class QLabel;
class QPushButton;
class QTimeEdit;
class QWidget;

// The text a person reads on a control's caption: mnemonic markers gone,
// a doubled "&&" shown once.
QString PlainCaption(const QString& Caption);

// A label for Buddy with a mnemonic; the control takes the label's text,
// as read, as its accessible name.
QLabel* BuddyLabel(const QString& Caption, QWidget* Buddy, QWidget* Parent);

// Column Column of a result row as the server sent it; empty for a
// missing column or an SQL NULL.
QByteArray ColumnBytes(const IPC_DA_DBClient::TSelectRow& Row, int Column);

// The message of a result's error record; the record is packed, so the
// text is reached through a copy of its pointer.
QByteArray ErrorMessage(const TDAError& Error);

// The user's long time format without its time zone part, as the
// conditions show times of day.
QString LongTimeDisplayFormat();

// Releases a dialog on every way out of a scope: it is destroyed once
// control is back in the message loop, unless its owner took it first.
template <typename TDialog> class TDialogRelease {
public:
    explicit TDialogRelease(TDialog* Dialog) : FDialog(Dialog) {}
    TDialogRelease(const TDialogRelease&) = delete;
    TDialogRelease& operator=(const TDialogRelease&) = delete;
    ~TDialogRelease() {
        if (FDialog)
            FDialog->deleteLater();
    }
    TDialog* operator->() const { return FDialog.data(); }
    TDialog* Get() const { return FDialog.data(); }
    explicit operator bool() const { return !FDialog.isNull(); }

private:
    QPointer<TDialog> FDialog;
};

// The user's short date format with the full year, for date pickers.
QString ShortDateDisplayFormat();

// A date picker with arrows (no calendar) and a time picker with seconds,
// in the user's formats.
QDateEdit* NewDatePicker(const char* Name, QWidget* Parent);
QTimeEdit* NewTimePicker(const char* Name, QWidget* Parent);

// Date and time of day of a condition's value for the pickers; a value
// that names no date (a damaged query file) gives the current time, so
// that the operator can put it right.
void SplitForPickers(TDateTime Value, QDate& Date, QTime& Time);

// Esc on the date and time dialogs: the Cancel button takes the focus and
// the dialog closes as cancelled. True when the key was Esc.
bool CancelOnEscape(QKeyEvent* Event, QPushButton* Cancel);
