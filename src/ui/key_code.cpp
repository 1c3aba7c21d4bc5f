#include "ui/key_code.h"

namespace tallivan {
namespace {

int16_t KeypadCode(int key) {
  if (key >= Qt::Key_0 && key <= Qt::Key_9) return static_cast<int16_t>(96 + key - Qt::Key_0);
  switch (key) {
    case Qt::Key_Asterisk:
      return 106;
    case Qt::Key_Plus:
      return 107;
    case Qt::Key_Minus:
      return 109;
    case Qt::Key_Period:
    case Qt::Key_Comma:
      return 110;
    case Qt::Key_Slash:
      return 111;
    case Qt::Key_Enter:
      return 13;
    default:
      return -1;
  }
}

}  // namespace

int16_t VirtualKeyCode(const QKeyEvent& event) {
  const int key = event.key();
  if (event.modifiers() & Qt::KeypadModifier) {
    if (const int16_t code = KeypadCode(key); code >= 0) return code;
  }
  if (key >= Qt::Key_F1 && key <= Qt::Key_F24) return static_cast<int16_t>(112 + key - Qt::Key_F1);
  if (key == Qt::Key_Tools) return 124;
  if (key >= Qt::Key_Launch5 && key <= Qt::Key_Launch7) {
    return static_cast<int16_t>(125 + key - Qt::Key_Launch5);
  }
  if (key >= Qt::Key_A && key <= Qt::Key_Z) return static_cast<int16_t>(key);
  if (key >= Qt::Key_0 && key <= Qt::Key_9) return static_cast<int16_t>(key);
  switch (key) {
    case Qt::Key_Backspace:
      return 8;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
      return 9;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      return 13;
    case Qt::Key_Shift:
      return 16;
    case Qt::Key_Control:
      return 17;
    case Qt::Key_Alt:
      return 18;
    case Qt::Key_Pause:
      return 19;
    case Qt::Key_CapsLock:
      return 20;
    case Qt::Key_Escape:
      return 27;
    case Qt::Key_Space:
      return 32;
    case Qt::Key_PageUp:
      return 33;
    case Qt::Key_PageDown:
      return 34;
    case Qt::Key_End:
      return 35;
    case Qt::Key_Home:
      return 36;
    case Qt::Key_Left:
      return 37;
    case Qt::Key_Up:
      return 38;
    case Qt::Key_Right:
      return 39;
    case Qt::Key_Down:
      return 40;
    case Qt::Key_Insert:
      return 45;
    case Qt::Key_Delete:
      return 46;
    case Qt::Key_NumLock:
      return 144;
    case Qt::Key_ScrollLock:
      return 145;
    default:
      return 0;
  }
}

int16_t ShiftState(const QKeyEvent& event) {
  const Qt::KeyboardModifiers modifiers = event.modifiers();
  int16_t state = 0;
  if (modifiers & Qt::ShiftModifier) state |= kShiftMask;
  if (modifiers & Qt::ControlModifier) state |= kCtrlMask;
  if (modifiers & Qt::AltModifier) state |= kAltMask;
  return state;
}

}  // namespace tallivan
