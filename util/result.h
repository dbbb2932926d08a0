// Small result types: a value or a message that names the failed action.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace pixelmote::util {

// Success, or failure with a message.
class Status {
 public:
  static Status success() { return Status(); }
  static Status failure(std::string message) { return Status(std::move(message)); }

  bool ok() const { return !m_message.has_value(); }
  explicit operator bool() const { return ok(); }
  // The failure's message ("" on success).
  const std::string& message() const {
    static const std::string kNone;
    return m_message ? *m_message : kNone;
  }

 private:
  Status() = default;
  explicit Status(std::string message) : m_message(std::move(message)) {}
  std::optional<std::string> m_message;
};

// A value, or a failure with a message.
template <class T>
class Result {
 public:
  Result(T value) : m_value(std::move(value)) {}  // NOLINT: implicit by design
  static Result failure(std::string message) {
    Result r;
    r.m_message = std::move(message);
    return r;
  }

  bool ok() const { return m_value.has_value(); }
  explicit operator bool() const { return ok(); }
  T& value() & { return *m_value; }
  const T& value() const& { return *m_value; }
  T&& value() && { return std::move(*m_value); }
  T* operator->() { return &*m_value; }
  const T* operator->() const { return &*m_value; }
  const std::string& message() const { return m_message; }
  Status status() const { return ok() ? Status::success() : Status::failure(m_message); }

 private:
  Result() = default;
  std::optional<T> m_value;
  std::string m_message;
};

}  // namespace pixelmote::util
