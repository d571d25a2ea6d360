// The transports the listener may make its sockets from, as the start-up
// enumerates them.
#pragma once

namespace server {

// One transport the listener may make a socket from.
struct ProtocolInfo {
  bool connectionless = false;
  bool guaranteedDelivery = false;
  bool guaranteedOrder = false;
  int addressFamily = 0;
  int socketType = 0;
  int protocol = 0;
};

}  // namespace server
