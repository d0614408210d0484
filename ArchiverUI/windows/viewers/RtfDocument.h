// The message view's text document as the RTF writer's paragraphs and runs:
// each block a paragraph, each fragment a run with its colour, weight,
// slant, underline, size and link.
#pragma once

#include "RtfWriter.h"

class QTextDocument;

TRtfDocument RtfDocumentOf(const QTextDocument& Document);
