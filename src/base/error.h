#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace pelorin {

// A failure as a value: the subsystem's domain, the platform status (-1 when there is none)
// and a human-readable message.
struct Error {
  std::string domain;
  std::int64_t code = -1;
  std::string message;

  // The text reported to the user: the message, or a generic sentence naming the domain and
  // code when there is no message.
  std::string description() const;
};

// Either a value or an Error. Kept small on purpose: construct from either, test, take.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::move(value)) {}
  Result(Error error) : state_(std::move(error)) {}

  bool ok() const { return std::holds_alternative<T>(state_); }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<T>(state_); }
  const T& value() const& { return std::get<T>(state_); }
  T&& value() && { return std::get<T>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const { return std::get<Error>(state_); }

 private:
  std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)), failed_(true) {}

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const Error& error() const { return error_; }

 private:
  Error error_;
  bool failed_ = false;
};

}  // namespace pelorin
