#pragma once

#include <map>
#include <string>

#include "binary_messenger.h"
#include "flutter_desktop.h"

namespace flutter {

// The messenger over the runtime's messaging functions.
class BinaryMessengerImpl : public BinaryMessenger {
 public:
  explicit BinaryMessengerImpl(FlutterDesktopMessengerRef core_messenger);
  // Drops the handlers without unregistering them: by now the runtime may have ended the
  // messenger they were registered with.
  ~BinaryMessengerImpl() override = default;

  void Send(const std::string& channel, const uint8_t* message, size_t message_size,
            BinaryReply reply) const override;
  using BinaryMessenger::Send;
  void SetMessageHandler(const std::string& channel, BinaryMessageHandler handler) override;

 private:
  FlutterDesktopMessengerRef messenger_;
  // The runtime holds the address of each stored handler while it is registered; map nodes do not
  // move.
  std::map<std::string, BinaryMessageHandler> handlers_;
};

}  // namespace flutter
