// SPDX-License-Identifier: MIT
// One connection's protocol without a socket: it takes the bytes that arrived, says how many it
// used and what the shell does next, appends what must be sent to the shell's output buffer and
// raises the service's events. The request head, the Origin rule, the upgrade answer, frames,
// fragments, control frames, the size limit and the close handshake all live here, so tables and
// fuzzers reach every one of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "net/refusal_log.h"
#include "net/server_options.h"

namespace net {

class Session {
 public:
  // Only ever moves forward.
  enum class Phase : std::uint8_t {
    head,     // before the upgrade: request heads (and bodies of plain HTTP requests)
    open,     // upgraded: frames
    closing,  // the last bytes are queued (a close frame or the 403): nothing more is read or sent
    closed,   // done; nothing more is sent
  };
  // What the shell does after take().
  enum class Next : std::uint8_t {
    readMore,         // all that could be used was used; the rest is an incomplete head or frame
    hold,             // stopped at a message boundary; the unused input is offered again later
    closeAfterFlush,  // write what is queued, then close
    closeNow,         // close without sending anything more
  };
  struct Result {
    std::size_t used;      // input bytes taken, from the start of what was given
    Next next;
    std::size_t messages;  // data messages raised
  };
  // Where the session's events go: the service's handler, through the shell.
  class Events {
   public:
    virtual void onEvent(int event, void* data) = 0;
    // A request refused, or a connection timed out, for the operator's summary; the handler never
    // hears of it. `origin` is the refused request's Origin (empty when it had none).
    virtual void onRefused(Refusal kind, std::string_view origin) = 0;

   protected:
    ~Events() = default;
  };

  Session(const ServerOptions& options, Events& events);

  // Takes the heads and frames at the start of data[0, size); payloads are unmasked in place.
  // Before each message it stops (Next::hold) once `room` output bytes have been appended to
  // `out` (by the session or by the handler), once `messages` data messages were raised, or while
  // an answer is awaited. Never reads past `size`.
  Result take(unsigned char* data, std::size_t size, std::string& out, std::size_t room,
              std::size_t messages = std::numeric_limits<std::size_t>::max());

  // Appends one unfragmented, unmasked frame; dropped (false) once a close is queued.
  bool appendFrame(std::string& out, unsigned opcode, const void* data, std::size_t length);
  // Queues the close frame with this status and reason: the last frame of the connection.
  void closeWith(std::string& out, std::uint16_t status, std::string_view reason);

  // The bytes given to the next take() arrived at `now` (seconds of a monotonic clock): where an
  // incomplete message's time starts.
  void arrivedAt(std::int64_t now) { arrived_ = now; }
  // Queues the idle ping; with a pong timeout, a frame is expected from `now` on.
  void ping(std::string& out, std::int64_t now);
  // Called about once a second: closes with status 1008 a connection past the message or pong
  // timeout (Next::closeAfterFlush), or one whose timeout close has not gone out since the last
  // call (Next::closeNow); else Next::readMore.
  Next expire(std::int64_t now, std::string& out);

  // The handler asked to answer later: no data message is taken until answered().
  void awaitAnswer() { awaitingAnswer_ = true; }
  // An answer went out: the exchange is alive, so a ping before it expects no pong any more.
  void answered() {
    awaitingAnswer_ = false;
    pingSentAt_.reset();
  }
  bool awaitingAnswer() const { return awaitingAnswer_; }

  // Gives up on the input (memory ran out): nothing more is taken or sent, what is queued still goes.
  void abandon();
  // The shell closed the connection: nothing more is sent, buffers go.
  void finish();
  Phase phase() const { return phase_; }
  // The peer sent its Close frame: it sends nothing more after it.
  bool peerClosed() const { return peerClosed_; }
  // Size of the incomplete frame the last take() stopped at, once its header was known; else 0.
  std::uint64_t expected() const { return expected_; }

 private:
  std::size_t takeHead(unsigned char* data, std::size_t size, std::string& out);
  void refuse(std::string& out, std::string_view answer, Refusal kind, std::string_view origin);
  bool originAllowed(std::string_view origin) const;
  std::size_t takeFrame(unsigned char* data, std::size_t size, std::string& out);
  void onControl(std::string& out, unsigned opcode, unsigned char* payload, std::size_t length);
  void deliver(unsigned char* payload, std::size_t length, unsigned char flags);
  void closeAfter(std::string& out, const void* payload, std::size_t length);
  void noteIncomplete(bool incomplete);

  const ServerOptions& options_;
  Events& events_;
  // options.maxMessageBytes, or the largest value when there is none: one compare per frame.
  const std::uint64_t maxMessageBytes_;
  std::string message_;           // fragments of the open message, joined
  std::uint64_t bodyLeft_ = 0;    // request body still to be skipped
  std::uint64_t expected_ = 0;
  std::size_t headScanned_ = 0;   // bytes of an incomplete head already scanned
  std::size_t delivered_ = 0;     // data messages raised by the current take()
  std::int64_t arrived_ = 0;      // when the bytes of the current take() arrived
  std::optional<std::int64_t> incompleteSince_;  // an open message's first byte came then
  std::optional<std::int64_t> pingSentAt_;       // a ping went out then and no frame came since
  Phase phase_ = Phase::head;
  unsigned char messageFlags_ = 0;
  bool fragmentOpen_ = false;
  bool awaitingAnswer_ = false;
  bool timedOut_ = false;         // the close queued is a timeout's
  bool peerClosed_ = false;
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
