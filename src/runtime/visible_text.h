// Text from files and file names, made safe to show on a terminal or in a dialog.
#ifndef TALLIVAN_RUNTIME_VISIBLE_TEXT_H_
#define TALLIVAN_RUNTIME_VISIBLE_TEXT_H_

#include <string>
#include <string_view>

namespace tallivan {

// `utf8` with every character that could change how a terminal or a dialog shows the text made
// visible: C0 controls but the tab, and DEL, as their control pictures ("␛", "␊", "␡"); C1
// controls and the bidirectional embeddings, overrides and isolates as "<U+XXXX>"; bytes that
// are not well-formed UTF-8 as "<0xNN>". Everything else is kept as it is.
std::string VisibleText(std::string_view utf8);

}  // namespace tallivan

#endif  // TALLIVAN_RUNTIME_VISIBLE_TEXT_H_
