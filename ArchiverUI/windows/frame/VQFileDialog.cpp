#include "VQFileDialog.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QList>
#include <QPair>

namespace {

struct TSeam {
    QList<QPair<QString, int>> Answers;
    QList<TFileDialogRequest> Asked;
};

TSeam& Seam() {
    static TSeam S;
    return S;
}

// The extension of the pattern "*.ext" (the first of "*.a;*.b"), or empty.
QString PatternExtension(const QString& Pattern) {
    const QString First = Pattern.section(QLatin1Char(';'), 0, 0).trimmed();
    if (!First.startsWith(QLatin1String("*.")))
        return {};
    const QString Ext = First.mid(2);
    return Ext.contains(QLatin1Char('*')) ? QString() : Ext;
}

QString Run(QWidget* Parent, const TFileDialogRequest& Request, int* FilterIndex) {
    TSeam& S = Seam();
    if (!S.Answers.isEmpty()) {
        S.Asked.append(Request);
        const auto Answer = S.Answers.takeFirst();
        if (FilterIndex != nullptr && !Answer.first.isEmpty())
            *FilterIndex = Answer.second;
        return Answer.first;
    }

    const QStringList Filters = TVQFileDialog::NameFilters(Request.Filter);
    QFileDialog Dialog(Parent, Request.Title);
    Dialog.setAcceptMode(Request.Save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    Dialog.setFileMode(Request.Save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (!Filters.isEmpty())
        Dialog.setNameFilters(Filters);
    const int First = FilterIndex != nullptr ? *FilterIndex : 1;
    if (First >= 1 && First <= Filters.size())
        Dialog.selectNameFilter(Filters.at(First - 1));
    QString Default = Request.DefaultExt;
    if (Default.startsWith(QLatin1String("*.")))
        Default = Default.mid(2);
    // The dialog adds its default suffix to a name typed without one before
    // it answers (and asks about replacing that file), so the suffix has to
    // follow the filter the operator picks: "notes" saved as text is
    // notes.txt, not notes.rtf.
    const QStringList Parts = Request.Filter.split(QLatin1Char('|'));
    const auto SuffixFor = [&](const QString& NameFilter) {
        const qsizetype At = Filters.indexOf(NameFilter);
        const QString Ext = At >= 0 && 2 * At + 1 < Parts.size()
                                ? PatternExtension(Parts.at(2 * At + 1))
                                : QString();
        return Ext.isEmpty() ? Default : Ext;
    };
    if (!Request.Save || Filters.isEmpty())
        Dialog.setDefaultSuffix(Default);
    else
        Dialog.setDefaultSuffix(SuffixFor(Dialog.selectedNameFilter()));
    QObject::connect(&Dialog, &QFileDialog::filterSelected, &Dialog,
                     [&](const QString& NameFilter) {
                         if (Request.Save)
                             Dialog.setDefaultSuffix(SuffixFor(NameFilter));
                     });
    if (!Request.FileName.isEmpty()) {
        if (QFileInfo(Request.FileName).isDir())
            Dialog.setDirectory(Request.FileName);
        else
            Dialog.selectFile(Request.FileName);
    }
    if (Dialog.exec() != QDialog::Accepted || Dialog.selectedFiles().isEmpty())
        return {};
    const int Chosen = static_cast<int>(Filters.indexOf(Dialog.selectedNameFilter())) + 1;
    if (FilterIndex != nullptr && Chosen > 0)
        *FilterIndex = Chosen;
    QString Name = Dialog.selectedFiles().constFirst();
    if (Request.Save && QFileInfo(Name).suffix().isEmpty() && Chosen > 0) {
        const int PatternAt = 2 * (Chosen - 1) + 1;
        if (PatternAt < Parts.size()) {
            const QString Ext = PatternExtension(Parts.at(PatternAt));
            if (!Ext.isEmpty())
                Name += QLatin1Char('.') + Ext;
        }
    }
    return Name;
}

} // namespace

QStringList TVQFileDialog::NameFilters(const QString& Filter) {
    QStringList Result;
    const QStringList Parts = Filter.split(QLatin1Char('|'));
    for (int I = 0; I + 1 < Parts.size(); I += 2) {
        QString Patterns = Parts.at(I + 1);
        Patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        QString Description = Parts.at(I);
        // A description that already names its patterns keeps them once.
        if (Description.contains(QLatin1Char('(')))
            Description = Description.left(Description.indexOf(QLatin1Char('('))).trimmed();
        Result.append(QStringLiteral("%1 (%2)").arg(Description, Patterns));
    }
    return Result;
}

QString TVQFileDialog::GetOpenFileName(QWidget* Parent, const TFileDialogRequest& Request,
                                       int* FilterIndex) {
    TFileDialogRequest R = Request;
    R.Save = false;
    return Run(Parent, R, FilterIndex);
}

QString TVQFileDialog::GetSaveFileName(QWidget* Parent, const TFileDialogRequest& Request,
                                       int* FilterIndex) {
    TFileDialogRequest R = Request;
    R.Save = true;
    return Run(Parent, R, FilterIndex);
}

void TVQFileDialog::SetNextAnswer(const QString& FileName, int FilterIndex) {
    Seam().Answers.append({FileName, FilterIndex});
}

QList<TFileDialogRequest> TVQFileDialog::Asked() {
    return Seam().Asked;
}

void TVQFileDialog::ClearAsked() {
    Seam().Asked.clear();
    Seam().Answers.clear();
}
