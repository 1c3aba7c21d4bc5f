#ifndef TALLIVAN_UI_KEY_CODE_H_
#define TALLIVAN_UI_KEY_CODE_H_

#include <QKeyEvent>
#include <cstdint>

#include "window/function_keys.h"

namespace tallivan {

// Bits of the shift state handed to the key handler.
inline constexpr int16_t kShiftMask = 1;
inline constexpr int16_t kCtrlMask = 2;
inline constexpr int16_t kAltMask = 4;

// The virtual key code of a key event: F1-F24 are 112-135 (the keys that the usual X keyboard
// map gives physical F13-F16, XF86Tools and XF86Launch5-7, count as F13-F16), letters and digits
// their ASCII capitals, the keypad's digits 96-105 and its * + - . / 106, 107, 109, 110, 111, the
// usual editing and navigation keys their codes; 0 for a key without one.
int16_t VirtualKeyCode(const QKeyEvent& event);

// The shift state of a key event: kShiftMask, kCtrlMask and kAltMask or-ed together.
int16_t ShiftState(const QKeyEvent& event);

}  // namespace tallivan

#endif  // TALLIVAN_UI_KEY_CODE_H_
