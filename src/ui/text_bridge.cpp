#include "ui/text_bridge.h"

#include <QBrush>
#include <QColor>
#include <QTextBlock>
#include <algorithm>
#include <functional>
#include <vector>

namespace tallivan {
namespace {

constexpr int kOriginalProperty = QTextFormat::UserProperty + 0x7A11;
constexpr char16_t kCr = u'\r';
constexpr char16_t kLf = u'\n';
constexpr char16_t kBlockBreak = u'\u2029';

QString ToQString(std::u16string_view text) {
  return QString(reinterpret_cast<const QChar*>(text.data()), static_cast<qsizetype>(text.size()));
}

bool HasMarks(const QTextDocument& document) {
  const QList<QTextFormat> formats = document.allFormats();
  return std::any_of(formats.begin(), formats.end(), [](const QTextFormat& format) {
    return format.hasProperty(kOriginalProperty);
  });
}

bool IsLineBreakAt(std::u16string_view text, size_t i) {
  return text[i] == kCr && i + 1 < text.size() && text[i + 1] == kLf;
}

// A run of equal marks: where it starts in the document, how long it is, what it stands for.
struct MarkRun {
  int position;
  int length;
  char16_t original;
};

void AppendRaw(std::u16string& out, const QString& raw) {
  out.append(reinterpret_cast<const char16_t*>(raw.utf16()), static_cast<size_t>(raw.size()));
}

// The ledger text of a document without marks, from its raw text with `breaks` block breaks.
std::u16string FromRawText(const QString& raw, int breaks) {
  std::u16string text;
  text.resize(static_cast<size_t>(raw.size()) + static_cast<size_t>(breaks));
  const char16_t* in = reinterpret_cast<const char16_t*>(raw.utf16());
  char16_t* out = text.data();
  for (qsizetype i = 0; i < raw.size(); ++i) {
    if (in[i] == kBlockBreak) {
      *out++ = kCr;
      *out++ = kLf;
    } else {
      *out++ = in[i];
    }
  }
  text.resize(static_cast<size_t>(out - text.data()));
  return text;
}

}  // namespace

char16_t MarkFor(char16_t unit) {
  switch (unit) {
    case kCr:
      return u'\u240D';
    case kLf:
      return u'\u240A';
    case u'\u2028':
      return u'\u2424';
    case u'\u2029':
      return u'\u00B6';
    case u'\uFDD0':
    case u'\uFDD1':
      return u'\uFFFD';
    default:
      return 0;
  }
}

QTextCharFormat MarkFormat(char16_t original) {
  QTextCharFormat format;
  format.setProperty(kOriginalProperty, static_cast<int>(original));
  // Dark enough to read at 9 pt, and set on a faint ground so that it reads as a sign, not as text.
  format.setForeground(QBrush(QColor(0x1D, 0x4E, 0x89)));
  format.setBackground(QBrush(QColor(0xE4, 0xEA, 0xF4)));
  format.setFontWeight(QFont::Bold);
  return format;
}

bool IsMarkFormat(const QTextCharFormat& format) { return format.hasProperty(kOriginalProperty); }

void SetLedgerText(QTextDocument& document, std::u16string_view text) {
  std::vector<MarkRun> runs;
  QString shown(static_cast<qsizetype>(text.size()), Qt::Uninitialized);
  char16_t* out = reinterpret_cast<char16_t*>(shown.data());
  int breaks = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    out[i] = unit;
    if (IsLineBreakAt(text, i)) {
      out[++i] = kLf;
      ++breaks;
      continue;
    }
    if (const char16_t mark = MarkFor(unit)) {
      out[i] = mark;
      const int position = static_cast<int>(i) - breaks;
      if (!runs.empty() && runs.back().original == unit &&
          runs.back().position + runs.back().length == position) {
        ++runs.back().length;
      } else {
        runs.push_back(MarkRun{position, 1, unit});
      }
    }
  }
  document.setPlainText(shown);
  shown = QString();
  if (!runs.empty()) {
    const bool undo = document.isUndoRedoEnabled();
    document.setUndoRedoEnabled(false);
    QTextCursor cursor(&document);
    cursor.beginEditBlock();
    for (const MarkRun& run : runs) {
      cursor.setPosition(run.position);
      cursor.setPosition(run.position + run.length, QTextCursor::KeepAnchor);
      cursor.setCharFormat(MarkFormat(run.original));
    }
    cursor.endEditBlock();
    document.setUndoRedoEnabled(undo);
  }
  document.setModified(false);
}

std::u16string LedgerText(const QTextDocument& document) { return LedgerTextLater(document)(); }

std::function<std::u16string()> LedgerTextLater(const QTextDocument& document) {
  if (HasMarks(document)) {
    return [text = LedgerText(document, 0, document.characterCount() - 1)] { return text; };
  }
  // The raw text is one copy; turning its block breaks into CR LF is left to the caller's thread.
  return [raw = document.toRawText(), breaks = document.blockCount() - 1] {
    return FromRawText(raw, breaks);
  };
}

bool HoldsExactly(const QTextDocument& document, std::u16string_view text) {
  if (HasMarks(document)) return LedgerText(document) == text;
  const QString raw = document.toRawText();
  const char16_t* in = reinterpret_cast<const char16_t*>(raw.utf16());
  size_t at = 0;
  for (qsizetype i = 0; i < raw.size(); ++i) {
    if (in[i] == kBlockBreak) {
      if (!IsLineBreakAt(text, at)) return false;
      at += 2;
    } else {
      if (at >= text.size() || text[at] != in[i]) return false;
      ++at;
    }
  }
  return at == text.size();
}

std::u16string LedgerText(const QTextDocument& document, int from, int to) {
  std::u16string text;
  if (from >= to) return text;
  for (QTextBlock block = document.findBlock(from); block.isValid() && block.position() <= to;
       block = block.next()) {
    if (block.position() > from) text += u"\r\n";
    for (QTextBlock::iterator it = block.begin(); !it.atEnd(); ++it) {
      const QTextFragment fragment = it.fragment();
      const int start = std::max(fragment.position(), from);
      const int end = std::min(fragment.position() + fragment.length(), to);
      if (start >= end) continue;
      const QString part = fragment.text().mid(start - fragment.position(), end - start);
      const QVariant original = fragment.charFormat().property(kOriginalProperty);
      if (!original.isValid()) {
        AppendRaw(text, part);
        continue;
      }
      const auto unit = static_cast<char16_t>(original.toInt());
      const char16_t mark = MarkFor(unit);
      for (const QChar c : part) text += c.unicode() == mark ? unit : c.unicode();
    }
  }
  return text;
}

void InsertLedgerText(QTextCursor& cursor, std::u16string_view text) {
  const QTextCharFormat plain;
  cursor.beginEditBlock();
  cursor.removeSelectedText();
  size_t run_start = 0;
  auto flush = [&](size_t end) {
    if (end > run_start)
      cursor.insertText(ToQString(text.substr(run_start, end - run_start)), plain);
  };
  for (size_t i = 0; i < text.size(); ++i) {
    if (IsLineBreakAt(text, i)) {
      ++i;
      continue;
    }
    if (const char16_t mark = MarkFor(text[i])) {
      flush(i);
      cursor.insertText(QString(QChar(mark)), MarkFormat(text[i]));
      run_start = i + 1;
    }
  }
  flush(text.size());
  cursor.setCharFormat(plain);
  cursor.endEditBlock();
}

int LinePosition(const QTextDocument& document, int line_index) {
  const QTextBlock block = document.findBlockByNumber(line_index);
  return block.isValid() ? block.position() : -1;
}

bool ReplaceLines(QTextDocument& document, const Edits& edits) {
  for (const LineEdit& edit : edits) {
    const QTextBlock block = document.findBlockByNumber(edit.line_index);
    if (!block.isValid() || block.length() - 1 != edit.old_length) return false;
  }
  if (edits.empty()) return true;
  const QTextCharFormat plain;
  QTextCursor cursor(&document);
  cursor.beginEditBlock();
  for (const LineEdit& edit : edits) {
    const QTextBlock block = document.findBlockByNumber(edit.line_index);
    cursor.setPosition(block.position());
    cursor.setPosition(block.position() + block.length() - 1, QTextCursor::KeepAnchor);
    cursor.insertText(ToQString(edit.new_line), plain);
  }
  cursor.endEditBlock();
  return true;
}

}  // namespace tallivan
