#ifndef TALLIVAN_WINDOW_FUNCTION_KEYS_H_
#define TALLIVAN_WINDOW_FUNCTION_KEYS_H_

#include <cstdint>

namespace tallivan {

// Key codes of the function keys: F1 = 112 up to F16 = 127 recalculate.
inline constexpr int16_t kKeyF1 = 112;
inline constexpr int16_t kKeyF16 = 127;
// F17 = 128 up to F24 = 135 have no meaning.
inline constexpr int16_t kKeyF17 = 128;
inline constexpr int16_t kKeyF24 = 135;

// What the ledger box does with a key that goes down.
enum class KeyRole {
  kRecalculate,  // F1-F16, whatever the modifiers: recalculate and nothing else
  kSwallow,      // F17-F24: nothing at all, not even the text box's own meaning
  kPassOn,       // every other key: the text box's own handling
};

// The role of the key with virtual key code `key_code`.
constexpr KeyRole RoleOfKey(int16_t key_code) {
  if (key_code >= kKeyF1 && key_code <= kKeyF16) return KeyRole::kRecalculate;
  if (key_code >= kKeyF17 && key_code <= kKeyF24) return KeyRole::kSwallow;
  return KeyRole::kPassOn;
}

}  // namespace tallivan

#endif  // TALLIVAN_WINDOW_FUNCTION_KEYS_H_
