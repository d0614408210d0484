// Every open and save file dialog of the viewer goes through here, so that
// a test can give the next answer in advance and read what was asked,
// instead of a person picking a file.
#pragma once

#include <QString>
#include <QStringList>

class QWidget;

struct TFileDialogRequest {
    bool Save = false;
    QString Title;
    // The filter as the forms give it: "Description|*.ext|Description|*.ext".
    QString Filter;
    QString DefaultExt;
    // The proposed file name (save) or folder (open); may be empty.
    QString FileName;
};

class TVQFileDialog {
public:
    // The chosen file, or an empty text when the operator cancelled.
    // FilterIndex is 1-based in both directions: in, the filter shown
    // first; out, the filter the operator chose. A saved name without an
    // extension gets the chosen filter's extension (or DefaultExt).
    static QString GetOpenFileName(QWidget* Parent, const TFileDialogRequest& Request,
                                   int* FilterIndex = nullptr);
    static QString GetSaveFileName(QWidget* Parent, const TFileDialogRequest& Request,
                                   int* FilterIndex = nullptr);

    // "Description|*.ext|..." as Qt's name filters ("Description (*.ext)").
    static QStringList NameFilters(const QString& Filter);

    // Test seam: while answers are queued, no dialog is shown; each call
    // takes the next answer (an empty file name is a cancel) and records
    // the request.
    static void SetNextAnswer(const QString& FileName, int FilterIndex = 1);
    static QList<TFileDialogRequest> Asked();
    static void ClearAsked();
};
