#include "ui/key_code.h"

#include <gtest/gtest.h>

#include <QKeyEvent>

namespace tallivan {
namespace {

TEST(KeyCodeTest, GivesTheVirtualKeyCodes) {
  const struct {
    int key;
    Qt::KeyboardModifiers modifiers;
    int16_t code;
  } cases[] = {
      {Qt::Key_F1, Qt::NoModifier, 112},        {Qt::Key_F12, Qt::ShiftModifier, 123},
      {Qt::Key_F13, Qt::NoModifier, 124},       {Qt::Key_F16, Qt::AltModifier, 127},
      {Qt::Key_F17, Qt::NoModifier, 128},       {Qt::Key_F24, Qt::NoModifier, 135},
      {Qt::Key_Slash, Qt::KeypadModifier, 111}, {Qt::Key_Slash, Qt::NoModifier, 0},
      {Qt::Key_7, Qt::KeypadModifier, 103},     {Qt::Key_Period, Qt::KeypadModifier, 110},
      {Qt::Key_A, Qt::ControlModifier, 65},     {Qt::Key_Z, Qt::NoModifier, 90},
      {Qt::Key_5, Qt::NoModifier, 53},          {Qt::Key_Return, Qt::NoModifier, 13},
      {Qt::Key_Enter, Qt::KeypadModifier, 13},  {Qt::Key_Escape, Qt::NoModifier, 27},
      {Qt::Key_Delete, Qt::NoModifier, 46},     {Qt::Key_Down, Qt::NoModifier, 40},
      {Qt::Key_Eacute, Qt::NoModifier, 0},
  };
  for (const auto& c : cases) {
    const QKeyEvent event(QEvent::KeyPress, c.key, c.modifiers);
    EXPECT_EQ(VirtualKeyCode(event), c.code) << std::hex << c.key;
  }
}

TEST(KeyCodeTest, GivesTheShiftStateAsBits) {
  const struct {
    Qt::KeyboardModifiers modifiers;
    int16_t state;
  } cases[] = {
      {Qt::NoModifier, 0},
      {Qt::ShiftModifier, 1},
      {Qt::ControlModifier, 2},
      {Qt::AltModifier, 4},
      {Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier, 7},
      {Qt::KeypadModifier | Qt::MetaModifier, 0},
  };
  for (const auto& c : cases) {
    const QKeyEvent event(QEvent::KeyPress, Qt::Key_F1, c.modifiers);
    EXPECT_EQ(ShiftState(event), c.state) << c.modifiers;
  }
}

}  // namespace
}  // namespace tallivan
