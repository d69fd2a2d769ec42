#pragma once

#include <string>

namespace flutter {

// The one-shot answer to a method call: exactly one of Success, Error or NotImplemented.
template <typename T>
class MethodResult {
 public:
  MethodResult() = default;
  virtual ~MethodResult() = default;
  MethodResult(const MethodResult&) = delete;
  MethodResult& operator=(const MethodResult&) = delete;

  void Success(const T& result) { SuccessInternal(&result); }
  void Success() { SuccessInternal(nullptr); }
  void Error(const std::string& code, const std::string& message, const T& details) {
    ErrorInternal(code, message, &details);
  }
  void Error(const std::string& code, const std::string& message = "") {
    ErrorInternal(code, message, nullptr);
  }
  void NotImplemented() { NotImplementedInternal(); }

 protected:
  virtual void SuccessInternal(const T* result) = 0;
  virtual void ErrorInternal(const std::string& code, const std::string& message,
                             const T* details) = 0;
  virtual void NotImplementedInternal() = 0;
};

}  // namespace flutter
