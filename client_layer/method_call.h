#pragma once

#include <memory>
#include <string>
#include <utility>

namespace flutter {

// A decoded method call: its name and its arguments (absent or a value).
template <typename T>
class MethodCall {
 public:
  MethodCall(std::string methodName, std::unique_ptr<T> arguments)
      : methodName_(std::move(methodName)), arguments_(std::move(arguments)) {}
  virtual ~MethodCall() = default;
  MethodCall(const MethodCall&) = delete;
  MethodCall& operator=(const MethodCall&) = delete;

  const std::string& method_name() const { return methodName_; }
  const T* arguments() const { return arguments_.get(); }

 private:
  std::string methodName_;
  std::unique_ptr<T> arguments_;
};

}  // namespace flutter
