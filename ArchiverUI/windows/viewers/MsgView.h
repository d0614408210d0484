// The message view a result window docks into its viewer panel: the
// transcript of the marked instant messages, how far the marking reaches
// into a conversation, and export as rich or plain text.
#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

#include <functional>

class QProgressBar;
class QTextBrowser;

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

    std::function<void(QObject* Sender)> OnOptionsChanged;
    std::function<void(QObject* Sender)> OnCancelLoading;
    std::function<void(QObject* Sender)> OnClose;

    QTextBrowser* RichEdit1 = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
};
