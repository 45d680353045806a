// A value or the reason there is none: what the fallible functions of the client library,
// the service's start-up and the command-line tool return. The C API turns it into a result
// code. Replies of the service are values, never errors: a FALSE reply is an answer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace printxpc {

// Why something failed. `code` is in the numbering of the interface that reports it: a
// TransportError or ClientError (printxpc/errors.h) from the client, the exit status of a
// program from its start-up. The message is for people.
struct Error {
  std::uint16_t code = 0;
  std::string message;
};

// A T, or the Error that took its place. Reading the value of a failed result (or the error
// of a successful one) throws std::bad_variant_access.
template <typename T>
class [[nodiscard]] Result {
 public:
  // Implicit, so that a function returns either a value or an Error as it is.
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const& { return std::get<1>(state_); }
  Error&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, Error> state_;
};

// Success with nothing to hand back, or an Error.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}

  bool ok() const { return !error_; }
  explicit operator bool() const { return ok(); }

  const Error& error() const& { return error_.value(); }
  Error&& error() && { return std::move(error_).value(); }

 private:
  std::optional<Error> error_;
};

using Status = Result<void>;

}  // namespace printxpc
