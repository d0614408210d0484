// The message view a result window docks into its viewer panel: the
// transcript of the marked instant messages, how far the marking reaches
// into a conversation, and export as rich or plain text.
#pragma once

#include <QColor>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>

class QAction;
class QCheckBox;
class QLabel;
class QMenu;
class QProgressBar;
class QTextBrowser;
class QTextCursor;
class QTextCharFormat;
class QToolButton;
class TVQSpinEdit;

class TfrmMessageView : public QWidget {
    Q_OBJECT
public:
    explicit TfrmMessageView(QWidget* Owner);
    ~TfrmMessageView() override;

    // Empties the transcript.
    void ClearText();
    // Appends Text at the end of the transcript in one colour and weight
    // ("\r" and "\r\n" break lines).
    void AppendText(const QString& Text, const QColor& Color, bool Bold);
    // The transcript as plain text.
    QString PlainText() const;

    // "Include all messages within" is checked.
    bool SessionMode() const;
    // The minutes value.
    int SessionDuration() const;
    // The progress bar shows and "Export" becomes "Cancel".
    bool Loading() const;
    void SetLoading(bool Value);
    // Phrases marked in the transcript (a text search's); marked again
    // whenever loading ends. How many places are marked now.
    void SetHighlight(const QStringList& Phrases);
    int MarkedCount() const { return FMarked; }

    std::function<void(QObject* Sender)> OnOptionsChanged;
    std::function<void(QObject* Sender)> OnCancelLoading;
    std::function<void(QObject* Sender)> OnClose;

    QTextBrowser* RichEdit1 = nullptr;
    QProgressBar* ProgressBar1 = nullptr;

    // Beyond what the result window uses.
    // Writes the transcript to FileName: FilterIndex 1 as rich text, 2 as
    // plain text. False (and the reason in Error) when it cannot.
    bool ExportTo(const QString& FileName, int FilterIndex, QString* Error = nullptr);

    QCheckBox* cbIncludeMsgs = nullptr;
    TVQSpinEdit* seDuration = nullptr;
    QLabel* lbMinutes = nullptr;
    QToolButton* btnExport = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* aExport = nullptr;
    QAction* aClose = nullptr;
    QAction* aCopy = nullptr;
    QAction* aSelectAll = nullptr;

protected:
    void closeEvent(QCloseEvent* Event) override;

private:
    void aExportExecute();
    void OptionsChanged();
    static void InsertWithLinks(QTextCursor& Cursor, const QString& Line,
                                const QTextCharFormat& Format);

    QStringList FPhrases;
    int FMarked = 0;
};
