// SPDX-License-Identifier: MIT
// One connection's protocol without a socket, pulled like a sans-I/O library: the shell hands it
// the bytes that arrived (receive), then takes the events one at a time (next) and gives each to
// the service's handler; the session appends to the shell's output what the protocol answers by
// itself. The request head, the Origin rule, the upgrade answer, frames, fragments, control frames,
// the size limit, the close handshake and the timeouts all live here, so tables and fuzzers reach
// every one of them. It never calls out: what the shell does with an event is the shell's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "net/event.h"
#include "net/http_head.h"
#include "net/refusal_log.h"
#include "net/server_options.h"

namespace net {

class Session {
 public:
  // Only ever moves forward.
  enum class Phase : std::uint8_t {
    head,       // before the upgrade: request heads (and bodies of plain HTTP requests)
    upgrading,  // the handler was told of the upgrade request; the next pull answers it
    open,       // upgraded: frames
    closing,    // the last bytes are queued (a close frame or the 403), or the input was given up:
                // nothing more is taken or sent
    closed,     // done; nothing more is sent
  };
  // An event for the handler: its number (event.h) and data, valid until the next call; or none
  // (number 0) when nothing more can be taken now.
  struct Pulled {
    int event = 0;
    void* data = nullptr;
  };
  // A request refused or a connection timed out, for the operator's summary; the handler never
  // hears of it. `origin` is the refused request's Origin, valid until the input changes.
  struct Refused {
    Refusal kind;
    std::string_view origin;
  };

  explicit Session(const ServerOptions& options);

  // The bytes to take events from: data[0, size), where the last input's unused part (used())
  // starts, followed by what arrived since. Payloads are unmasked in place. The input must stay
  // where it is while events are pulled from it.
  void receive(unsigned char* data, std::size_t size);
  // Takes the next head or frame of the input, appends what the protocol answers by itself (the
  // 101 or 403, a pong, a close) to `out`, and returns the event the handler is to be told of.
  // None once the input is used up or ends in an incomplete head or frame, or once closing.
  // After EV_WEBSOCKET_HANDSHAKE_REQUEST the next call must come on the same input: it answers
  // the upgrade as the handler decided (UpgradeRequest::refuse).
  Pulled next(std::string& out);
  // Input bytes taken since receive().
  std::size_t used() const { return pos_; }

  // While the shell takes no events (the handler holds the connection), it shows the session the
  // input behind: whole frames show the peer is there (the pong timeout), a frame over the size
  // limit closes the connection (1009) as if it had been taken. With `answerClose`, the peer's
  // Close frame found there is answered at once: the connection ends without the frames before it.
  // Nothing is taken or told to the handler.
  void lookAhead(std::string& out, bool answerClose);

  // Appends one unfragmented, unmasked frame; dropped (false) once closing. A Close frame is the
  // last frame of the connection, however it is queued.
  bool appendFrame(std::string& out, unsigned opcode, const void* data, std::size_t length);
  // Queues the close frame with this status and reason: the last frame of the connection.
  void closeWith(std::string& out, std::uint16_t status, std::string_view reason);

  // The bytes given to the next receive() arrived at `now` (seconds of a monotonic clock): where
  // an incomplete message's time starts.
  void arrivedAt(std::int64_t now) { arrived_ = now; }
  // Queues the idle ping; with a pong timeout, a frame is expected from `now` on.
  void ping(std::string& out, std::int64_t now);
  // What the shell does after expire().
  enum class Expiry : std::uint8_t { none, closeAfterFlush, closeNow };
  // Called about once a second: closes with status 1008 a connection past the message or pong
  // timeout (closeAfterFlush), or one whose timeout close has not gone out since the last call
  // (closeNow). The message timeout counts only what was taken: input behind a hold is not the
  // peer's delay. The pong timeout runs on frames taken or looked over, held or not.
  Expiry expire(std::int64_t now, std::string& out);

  // The shell read the peer's end of stream: nothing more comes.
  void endOfStream();
  // Gives up on the input (the peer finished, memory ran out): nothing more is taken or sent, what
  // is queued still goes.
  void stop();
  // The shell closed the connection: nothing more is sent, buffers go.
  void finish();

  Phase phase() const { return phase_; }
  // The peer said it sends nothing more: its Close frame was taken, or its end of stream read.
  bool peerDone() const { return ending_ == Ending::peerClose || ending_ == Ending::peerEnd; }
  bool peerEnded() const { return ending_ == Ending::peerEnd; }
  // The refusal or timeout the session's end came from, handed out once.
  std::optional<Refused> takeRefusal();
  // Size of the incomplete frame the last pull stopped at, once its header was known; else 0.
  std::uint64_t expected() const { return expected_; }

 private:
  // How the connection's end came about, as far as the session knows.
  enum class Ending : std::uint8_t { none, peerClose, peerEnd, timeout };

  Pulled takeHead(std::string& out);
  Pulled answerUpgrade(std::string& out);
  void refuse(std::string& out, std::string_view answer, Refusal kind, std::string_view origin);
  bool originAllowed(std::string_view origin) const;
  Pulled takeFrame(std::string& out);
  Pulled onControl(std::string& out, unsigned opcode, unsigned char* payload, std::size_t length);
  bool overLimit(std::string& out, unsigned opcode, std::size_t headerLength, std::uint64_t payloadLength);
  void closeAfter(std::string& out, const void* payload, std::size_t length);

  const ServerOptions& options_;
  // options.maxMessageBytes, or the largest value when there is none: one compare per frame.
  const std::uint64_t maxMessageBytes_;
  unsigned char* data_ = nullptr;  // the input, from receive()
  std::size_t size_ = 0;
  std::size_t pos_ = 0;            // bytes of it taken
  std::size_t ahead_ = 0;          // bytes past pos_ looked over while held
  std::string message_;            // fragments of the open message, joined
  std::uint64_t bodyLeft_ = 0;     // request body still to be skipped
  std::uint64_t expected_ = 0;
  std::size_t headScanned_ = 0;    // bytes of an incomplete head already scanned
  std::int64_t arrived_ = 0;       // when the bytes of the current input arrived
  std::optional<std::int64_t> incompleteSince_;  // an open message's first byte came then
  std::optional<std::int64_t> pingSentAt_;       // a ping went out then and no frame came since
  RequestHead head_{};             // the upgrade being decided, in the input
  UpgradeRequest request_;         // what the handler is told of it
  WebSocketMessage event_{};       // the message or control frame last pulled
  std::optional<Refused> refused_;
  Phase phase_ = Phase::head;
  Ending ending_ = Ending::none;
  unsigned char messageFlags_ = 0;  // 0x80 | the first opcode of the open fragmented message; 0: none
};

// The close status of the message and pong timeouts: 1008, policy violation. The peer broke no
// rule of the protocol (1002 would say it did); it was slower than this server's settings allow,
// as a message over the size limit is longer than they allow (1009).
inline constexpr std::uint16_t kPolicyViolation = 1008;

// The answer to an upgrade whose Origin is not allowed, then the connection closes. Its 64 bytes:
//   HTTP/1.1 403 Forbidden CR LF
//   Content-Length: 0 CR LF
//   Connection: close CR LF
//   CR LF
// No body, no frame ever; the two headers tell the client that there is no body and nothing after.
inline constexpr std::string_view kForbidden =
    "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

// With an Origin list, the answer to a request head that does not ask for an upgrade, then the
// connection closes. 426 rather than 400: the request is well formed, but this port speaks only
// WebSocket, and the Upgrade header names what the client must ask for.
inline constexpr std::string_view kUpgradeRequired =
    "HTTP/1.1 426 Upgrade Required\r\nUpgrade: websocket\r\nContent-Length: 0\r\n"
    "Connection: close\r\n\r\n";

}  // namespace net
