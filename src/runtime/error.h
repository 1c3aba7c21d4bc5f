#ifndef TALLIVAN_RUNTIME_ERROR_H_
#define TALLIVAN_RUNTIME_ERROR_H_

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace tallivan {

// The error numbers the program deals with by number; a person reads the description.
enum class ErrorNumber : int32_t {
  kNone = 0,
  kOverflow = 6,        // a number or result too big
  kEmptyBracket = 11,   // a bracket holding only blanks
  kTypeMismatch = 13,   // a bracket token that is not a number
  kFileNotFound = 53,   // the book does not exist
  kBadFileLength = 54,  // the book is not whole UTF-16 code units
  kFileAccess = 75,     // the book cannot be opened, read or written
};

// The number as the program shows it.
constexpr int32_t Code(ErrorNumber number) { return static_cast<int32_t>(number); }

// A runtime error: a number callers can act on and a description (UTF-8) a person can read.
struct Error {
  ErrorNumber number = ErrorNumber::kNone;
  std::string description;

  friend bool operator==(const Error&, const Error&) = default;
};

// Makes the error for an overflowing number or result.
Error OverflowError();

// Either a value or the error that kept it from being made.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::move(value)) {}
  Result(Error error) : state_(std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const Error& error() const { return std::get<1>(state_); }
  // Drops the outcome on purpose, where a failure is told elsewhere or cannot be told at all.
  void IgnoreError() const {}

 private:
  std::variant<T, Error> state_;
};

// The outcome of an operation that gives nothing back but may fail.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Error error) : error_(std::move(error)), ok_(false) {}

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  const Error& error() const { return error_; }
  // Drops the outcome on purpose, where a failure is told elsewhere or cannot be told at all.
  void IgnoreError() const {}

 private:
  Error error_;
  bool ok_ = true;
};

}  // namespace tallivan

#endif  // TALLIVAN_RUNTIME_ERROR_H_
