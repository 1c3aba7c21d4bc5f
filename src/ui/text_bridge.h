#ifndef TALLIVAN_UI_TEXT_BRIDGE_H_
#define TALLIVAN_UI_TEXT_BRIDGE_H_

#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <functional>
#include <string>
#include <string_view>

#include "ledger/ledger.h"

// The ledger text breaks lines only at CR LF and may hold any code unit; a QTextDocument breaks
// blocks at CR, LF, U+2029, U+FDD0 and U+FDD1 as well. These functions keep one ledger line in one
// block: a code unit a block cannot hold is shown as a visible mark whose character format carries
// the original, so positions inside a line stay the same in both.
namespace tallivan {

// The mark shown for `unit` when it stands alone in a line (a CR not followed by LF, an LF not
// preceded by CR, U+2028, U+2029, U+FDD0, U+FDD1), or 0 for a unit the document holds as it is.
char16_t MarkFor(char16_t unit);

// The character format of a mark standing for `original`.
QTextCharFormat MarkFormat(char16_t original);

// Whether `format` is a mark's format, which text typed next to a mark must not take on.
bool IsMarkFormat(const QTextCharFormat& format);

// Replaces the whole content of `document` with `text`, one block per line, and clears its undo
// history. Text without units to mark goes in with a single setPlainText.
void SetLedgerText(QTextDocument& document, std::u16string_view text);

// The ledger text `document` holds: its blocks joined by CR LF, marks turned back into their
// originals.
std::u16string LedgerText(const QTextDocument& document);

// The ledger text `document` holds now, to be had later on any thread: the part that needs the
// document is done now, and only a copy of its text is kept.
std::function<std::u16string()> LedgerTextLater(const QTextDocument& document);

// Whether `document` holds exactly `text`; cheaper than comparing with LedgerText(document).
bool HoldsExactly(const QTextDocument& document, std::u16string_view text);

// The ledger text between the document positions `from` and `to` (a block break is CR LF).
std::u16string LedgerText(const QTextDocument& document, int from, int to);

// Inserts `text` at `cursor`, replacing its selection, as one undoable edit.
void InsertLedgerText(QTextCursor& cursor, std::u16string_view text);

// The document position where line `line_index` (0-based) starts, or -1 past the last line.
int LinePosition(const QTextDocument& document, int line_index);

// Rewrites the lines `edits` name (made by RecalculateEdits for this document's ledger text) as one
// undoable edit. Returns false, changing nothing, when the edits do not fit the document.
bool ReplaceLines(QTextDocument& document, const Edits& edits);

}  // namespace tallivan

#endif  // TALLIVAN_UI_TEXT_BRIDGE_H_
