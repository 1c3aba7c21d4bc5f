#ifndef TALLIVAN_UI_LEDGER_TEXT_BOX_H_
#define TALLIVAN_UI_LEDGER_TEXT_BOX_H_

#include <QPlainTextEdit>
#include <string>
#include <string_view>

#include "ledger/ledger.h"

namespace tallivan {

// The MIME type under which the box copies its selection exactly, as raw UTF-16LE.
inline constexpr char kLedgerMimeType[] = "application/x-tallivan-ledger";

// A plain-text editor that holds ledger text exactly (see text_bridge.h): one ledger line per
// line on screen, marks for the code units a line cannot show, and copy, paste and typing that
// keep them apart from ordinary text.
class LedgerTextBox : public QPlainTextEdit {
  Q_OBJECT

 public:
  explicit LedgerTextBox(QWidget* parent = nullptr);

  // The whole ledger text the box holds.
  std::u16string LedgerText() const;

  // Replaces the whole text and forgets the undo history.
  void SetLedgerText(std::u16string_view text);

  // Applies a recalculation's `edits` to the text `old_text` the box holds, as one undoable edit.
  void ApplyEdits(std::u16string_view old_text, const Edits& edits);

  // Puts the caret at `position` with nothing selected.
  void SetCaret(int position);

  // Puts the caret after the last character with nothing selected.
  void SetCaretAtEnd();

  // Whether the box draws its text, or only its empty ground.
  enum class Drawing { kText, kGroundOnly };
  void SetDrawing(Drawing drawing);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void inputMethodEvent(QInputMethodEvent* event) override;
  QMimeData* createMimeDataFromSelection() const override;
  void insertFromMimeData(const QMimeData* source) override;

 private:
  // Runs `insert`, which types at the caret, so that the new text does not take on a mark's
  // format; a selection it replaces goes in the same undo step.
  template <typename Insert>
  void TypePlain(Insert insert);

  Drawing drawing_ = Drawing::kText;
};

}  // namespace tallivan

#endif  // TALLIVAN_UI_LEDGER_TEXT_BOX_H_
