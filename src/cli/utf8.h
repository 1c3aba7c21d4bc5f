#ifndef TALLIVAN_CLI_UTF8_H_
#define TALLIVAN_CLI_UTF8_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace tallivan {

// Turns UTF-8 that arrives in pieces into UTF-16. Only well-formed UTF-8 passes: overlong forms,
// encoded surrogates, values above U+10FFFF and stray or missing continuation bytes are refused,
// never replaced.
class Utf8Decoder {
 public:
  // Appends the decoded text to `out`.
  explicit Utf8Decoder(std::u16string& out) : out_(out) {}

  // Decodes the next piece of input; false at the first malformed sequence.
  bool Decode(std::string_view piece);

  // Ends the input; false when it stops inside a sequence.
  bool Finish();

  // After a failure, the byte offset of the malformed sequence in the whole input.
  uint64_t error_offset() const { return sequence_start_; }

 private:
  std::u16string& out_;
  uint64_t consumed_ = 0;        // bytes of input before the current piece
  uint64_t sequence_start_ = 0;  // where the unfinished sequence began
  uint32_t code_point_ = 0;      // its bits so far
  int missing_ = 0;              // continuation bytes it still needs
  unsigned char low_ = 0x80;     // the range the next continuation byte must lie in
  unsigned char high_ = 0xBF;
};

// Appends `text` to `out` as UTF-8 and returns how many code units it took: all of them, or the
// index of the first unpaired surrogate, where it stops.
size_t AppendUtf8(std::u16string_view text, std::string& out);

}  // namespace tallivan

#endif  // TALLIVAN_CLI_UTF8_H_
