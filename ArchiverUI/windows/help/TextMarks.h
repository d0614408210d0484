// Marks every place of some phrases in a text view, without touching the
// text: the manual's search and the phrases a text search found in a
// transcript. The marks go when the view is given no phrases.
#pragma once

#include <QStringList>

class QTextEdit;

// Marks the phrases (case-insensitive, blank ones skipped) and returns how
// many places were marked.
int MarkPhrases(QTextEdit* View, const QStringList& Phrases);
