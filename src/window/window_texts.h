#ifndef TALLIVAN_WINDOW_WINDOW_TEXTS_H_
#define TALLIVAN_WINDOW_WINDOW_TEXTS_H_

#include <string_view>

namespace tallivan {

// The window's caption (UTF-8).
inline constexpr char kCaption[] = "Tallivan v1.01 https://tallivan.example";

// The text the box shows until a book is loaded: twelve lines, each ended by CR LF.
extern const std::u16string_view kSampleText;

}  // namespace tallivan

#endif  // TALLIVAN_WINDOW_WINDOW_TEXTS_H_
