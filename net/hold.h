// SPDX-License-Identifier: MIT
// A connection whose further messages wait until the service answers, possibly from another thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace net {

class Connection;
class HoldLink;

// While a Hold is outstanding the connection takes no further message: its input stays buffered,
// and it reads at most kHeldInput (4 KiB) more, enough to see the peer's pong, Close, end of stream
// or reset. The idle ping and the pong timeout go on. A hold taken at the upgrade ends with the
// connection when its page leaves (EV_CLOSE). The connection object stays allocated until the Hold
// is answered or destroyed (it counts like a pending operation: one deletion rule).
class Hold {
 public:
  Hold(Hold&&) noexcept;
  Hold& operator=(Hold&&) noexcept;
  ~Hold();  // destroyed without an answer: as resume()

  // Any thread. The first answer counts; later ones do nothing. Each posts to the loop, and
  // throws std::bad_alloc if it cannot (the answer may then be given again).
  void reply(std::string text);                          // one text frame, then the connection reads on
  void resume();                                         // no frame; the connection reads on
  void close(std::uint16_t status, std::string reason);  // close handshake with this status and reason
  // Any thread: the connection has closed meanwhile, so an answer would be dropped.
  bool abandoned() const;

 private:
  friend Hold hold(Connection* connection);
  explicit Hold(std::shared_ptr<HoldLink> link);
  std::shared_ptr<HoldLink> link_;
};

// Loop thread, only inside the handler's call for EV_WEBSOCKET_HANDSHAKE_DONE or EV_WEBSOCKET_FRAME,
// at most once per call.
Hold hold(Connection* connection);

}  // namespace net
