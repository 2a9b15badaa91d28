// Errors as values: every media-side operation returns a Result, and the Python layer
// turns an Error into an exception once it holds the interpreter lock again.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace ffmpeg {

// Invalid: the request or the input is unacceptable. Runtime: an operation failed.
// Unsupported: a feature this build does not provide yet; it fails loudly rather than
// returning anything that could be mistaken for data. Memory: the request needs more
// memory than the system can give. Interrupted: the caller's interrupt hook stopped the
// work (the caller holds the reason; the message is only a placeholder).
enum class ErrorKind { Invalid, Runtime, Unsupported, Memory, Interrupted };

struct Error {
  std::string message;
  ErrorKind kind = ErrorKind::Runtime;

  static Error invalid(std::string m) { return {std::move(m), ErrorKind::Invalid}; }
  static Error runtime(std::string m) { return {std::move(m), ErrorKind::Runtime}; }
  static Error unsupported(std::string m) { return {std::move(m), ErrorKind::Unsupported}; }
  static Error memory(std::string m) { return {std::move(m), ErrorKind::Memory}; }
  static Error interrupted() { return {"interrupted", ErrorKind::Interrupted}; }
};

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

  explicit operator bool() const noexcept { return v_.index() == 0; }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &std::get<0>(v_); }
  Error& error() & { return std::get<1>(v_); }
  const Error& error() const& { return std::get<1>(v_); }
  Error&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

struct Ok {};
using Status = Result<Ok>;
inline Status ok() { return Ok{}; }

// "<context>: <FFmpeg error text>" for a negative code; success otherwise.
Status check(int code, const char* context);

// A possibly-null C string owned by FFmpeg, as an owned UTF-8 string (invalid
// sequences replaced by U+FFFD); null gives no string.
std::optional<std::string> name(const char* pointer);

// Decodes bytes as UTF-8, replacing every invalid sequence with U+FFFD.
std::string utf8_lossy(const char* data, size_t size);

}  // namespace ffmpeg

// Early return of the error from a Result-returning expression.
#define TRY(expr)                                                                       \
  do {                                                                                  \
    if (auto try_result_ = (expr); !try_result_) return std::move(try_result_).error(); \
  } while (0)

// Early return on error; otherwise move the value into `lhs` (a declaration or lvalue).
#define TRY_ASSIGN(lhs, expr) TRY_ASSIGN_IMPL(lhs, expr, TRY_CONCAT(try_value_, __LINE__))
#define TRY_CONCAT_INNER(a, b) a##b
#define TRY_CONCAT(a, b) TRY_CONCAT_INNER(a, b)
#define TRY_ASSIGN_IMPL(lhs, expr, tmp)    \
  auto tmp = (expr);                       \
  if (!tmp) return std::move(tmp).error(); \
  lhs = std::move(tmp).value()
