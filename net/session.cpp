// SPDX-License-Identifier: MIT
// A connection's protocol from its first byte to its close, over bytes the shell hands in.
#include "net/session.h"

#include <algorithm>
#include <cstring>

#include "net/buffers.h"
#include "net/event.h"
#include "net/handshake.h"
#include "net/http_head.h"
#include "net/ws_frame.h"

namespace net {

Session::Session(const ServerOptions& options, Events& events)
    : options_(options),
      events_(events),
      maxMessageBytes_(options.maxMessageBytes.value_or(std::numeric_limits<std::uint64_t>::max())) {}

// One message (or head) after another, with the stop rules checked before each.
Session::Result Session::take(unsigned char* data, std::size_t size, std::string& out, std::size_t room,
                              std::size_t messages) {
  const std::size_t start = out.size();
  std::size_t pos = 0;
  expected_ = 0;
  delivered_ = 0;
  Next next = Next::readMore;
  while (pos < size && phase_ < Phase::closing) {
    if (awaitingAnswer_ || out.size() - start >= room || delivered_ >= messages) {
      next = Next::hold;
      break;
    }
    const std::size_t used = phase_ == Phase::head ? takeHead(data + pos, size - pos, out)
                                                   : takeFrame(data + pos, size - pos, out);
    if (used == 0) break;
    pos += used;
  }
  if (phase_ == Phase::closing) next = Next::closeAfterFlush;
  else if (phase_ == Phase::closed) next = Next::closeNow;
  else if (awaitingAnswer_) next = Next::hold;
  // A hold stops at a message boundary: only an open fragmented message is then incomplete.
  if (phase_ == Phase::open) noteIncomplete(fragmentOpen_ || (next == Next::readMore && pos < size));
  return {pos, next, delivered_};
}

std::size_t Session::takeHead(unsigned char* data, std::size_t size, std::string& out) {
  if (bodyLeft_ > 0) {
    const std::size_t skip = static_cast<std::size_t>(std::min<std::uint64_t>(bodyLeft_, size));
    bodyLeft_ -= skip;
    return skip;
  }
  RequestHead head;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  switch (parseRequestHead(bytes, head, headScanned_)) {
    case HeadVerdict::needMore:
      headScanned_ = size;
      return 0;
    case HeadVerdict::bad:
      phase_ = Phase::closed;  // not HTTP: no reply of any kind
      events_.onRefused(Refusal::notHttp, {});
      return 0;
    case HeadVerdict::done:
      break;
  }
  headScanned_ = 0;
  if (head.key.empty() && !options_.allowedOrigins.empty()) {
    // With an Origin list the port serves upgrades only: a plain request (a page's fetch() or
    // <img>) is answered at once and closed, so it never keeps a connection place.
    refuse(out, kUpgradeRequired, Refusal::upgradeRequired, head.origin);
    return 0;
  }
  if (head.key.empty()) {
    events_.onEvent(EV_HTTP_REQUEST, nullptr);
    bodyLeft_ = head.contentLength;
    return head.length;
  }
  // With a list, a head whose Origin may lie past the examined lines is not judged as one without.
  const bool originUnknown = head.truncated && head.origin.empty() && !options_.allowedOrigins.empty();
  if (originUnknown || !originAllowed(head.origin)) {
    // The handler never hears of a refused upgrade; the 403 goes out, then the connection closes.
    refuse(out, kForbidden, Refusal::forbidden, head.origin);
    return 0;
  }
  UpgradeRequest request{.origin = head.origin};
  events_.onEvent(EV_WEBSOCKET_HANDSHAKE_REQUEST, &request);
  if (phase_ != Phase::head) return 0;
  if (request.refuse) {
    appendWhole(out, [](std::string& o) { o.append(kForbidden); });
    phase_ = Phase::closing;
    return 0;
  }
  appendWhole(out, [&](std::string& o) { appendHandshakeResponse(o, head.key, head.protocol); });
  phase_ = Phase::open;
  events_.onEvent(EV_WEBSOCKET_HANDSHAKE_DONE, nullptr);
  return head.length;
}

// The answer is the last bytes of the connection.
void Session::refuse(std::string& out, std::string_view answer, Refusal kind, std::string_view origin) {
  appendWhole(out, [&](std::string& o) { o.append(answer); });
  phase_ = Phase::closing;
  events_.onRefused(kind, origin);
}

// Without a list every Origin is let in; with one, only the listed ones, byte for byte, and a
// request without Origin (or with an empty one) as the options say.
bool Session::originAllowed(std::string_view origin) const {
  const std::vector<std::string>& allowed = options_.allowedOrigins;
  if (allowed.empty()) return true;
  if (origin.empty()) return options_.allowMissingOrigin;
  return std::find(allowed.begin(), allowed.end(), origin) != allowed.end();
}

std::size_t Session::takeFrame(unsigned char* data, std::size_t size, std::string& out) {
  Frame frame;
  const FrameVerdict verdict = decodeFrame(data, size, fragmentOpen_, frame);
  if (verdict == FrameVerdict::protocolError) {
    closeAfter(out, frame.error, std::strlen(frame.error));
    return 0;
  }
  // Judged on the header alone, so nothing of an over-long message is buffered. A continuation
  // counts with what its message has joined so far, which was within the limit.
  if (frame.headerLength != 0) {
    const std::uint64_t joined = frame.opcode == OP_CONTINUATION ? message_.size() : 0;
    if (frame.payloadLength > maxMessageBytes_ - joined) {
      closeAfter(out, kMessageTooBig, sizeof kMessageTooBig - 1);
      return 0;
    }
  }
  if (verdict == FrameVerdict::needMore) {
    if (frame.headerLength != 0) expected_ = frame.headerLength + frame.payloadLength;
    return 0;
  }
  unsigned char* payload = data + frame.headerLength;
  const auto length = static_cast<std::size_t>(frame.payloadLength);
  if (frame.masked) unmaskPayload(payload, length, frame.mask);
  pingSentAt_.reset();  // any whole frame shows the peer is there, a pong or not

  if (frame.opcode >= 8) {
    onControl(out, frame.opcode, payload, length);
  } else if (frame.opcode == OP_CONTINUATION) {
    message_.append(reinterpret_cast<const char*>(payload), length);
    if (frame.fin) {
      fragmentOpen_ = false;
      deliver(reinterpret_cast<unsigned char*>(message_.data()), message_.size(), messageFlags_);
      release(message_);
    }
  } else if (!frame.fin) {
    fragmentOpen_ = true;
    messageFlags_ = static_cast<unsigned char>(0x80 | frame.opcode);
    message_.assign(reinterpret_cast<const char*>(payload), length);
  } else {
    deliver(payload, length, static_cast<unsigned char>(0x80 | frame.opcode));
  }
  if (!fragmentOpen_) incompleteSince_.reset();  // the message is whole: the next one's time starts anew
  return frame.headerLength + length;
}

void Session::onControl(std::string& out, unsigned opcode, unsigned char* payload, std::size_t length) {
  switch (opcode) {
    case OP_PING:
      appendFrame(out, OP_PONG, payload, length);
      break;
    case OP_PONG:
      break;
    case OP_CLOSE:
      peerClosed_ = true;
      closeAfter(out, payload, length);  // the peer's close echoed, status and reason as they came
      break;
    default:
      return;  // reserved control opcodes are ignored
  }
  WebSocketMessage message{payload, length, static_cast<unsigned char>(0x80 | opcode)};
  events_.onEvent(EV_WEBSOCKET_CONTROL_FRAME, &message);
}

void Session::deliver(unsigned char* payload, std::size_t length, unsigned char flags) {
  ++delivered_;
  WebSocketMessage message{payload, length, flags};
  events_.onEvent(EV_WEBSOCKET_FRAME, &message);
}

// The last frame of the connection: nothing after it is read or sent.
void Session::closeAfter(std::string& out, const void* payload, std::size_t length) {
  appendFrame(out, OP_CLOSE, payload, length);
  phase_ = Phase::closing;
  fragmentOpen_ = false;
  release(message_);
}

bool Session::appendFrame(std::string& out, unsigned opcode, const void* data, std::size_t length) {
  if (phase_ >= Phase::closing) return false;
  unsigned char header[kMaxFrameHeader];
  const std::size_t headerLength = encodeFrameHeader(header, opcode, length);
  appendWhole(out, [&](std::string& o) {
    o.append(reinterpret_cast<const char*>(header), headerLength);
    if (length) o.append(static_cast<const char*>(data), length);
  });
  return true;
}

void Session::closeWith(std::string& out, std::uint16_t status, std::string_view reason) {
  if (phase_ >= Phase::closing) return;
  std::string payload;
  payload.push_back(static_cast<char>(status >> 8));
  payload.push_back(static_cast<char>(status & 0xFF));
  payload.append(reason);
  closeAfter(out, payload.data(), payload.size());
}

// An incomplete message's time runs from the arrival of the bytes that first left it incomplete.
void Session::noteIncomplete(bool incomplete) {
  if (!incomplete) incompleteSince_.reset();
  else if (!incompleteSince_) incompleteSince_ = arrived_;
}

void Session::ping(std::string& out, std::int64_t now) {
  if (appendFrame(out, OP_PING, nullptr, 0) && !pingSentAt_) pingSentAt_ = now;
}

// Strictly more than the limit in whole seconds: a start stamped late in its second still gets
// the whole time. While an answer is awaited the peer owes nothing: no message was taken since.
Session::Next Session::expire(std::int64_t now, std::string& out) {
  if (timedOut_ && phase_ == Phase::closing) return Next::closeNow;  // the peer does not read its close
  if (phase_ != Phase::open || awaitingAnswer_) return Next::readMore;
  const auto over = [now](const std::optional<std::int64_t>& since, const std::optional<std::chrono::seconds>& limit) {
    return since && limit && now - *since > limit->count();
  };
  Refusal kind{};
  std::string_view reason;
  if (over(incompleteSince_, options_.messageTimeout)) {
    kind = Refusal::messageTimeout;
    reason = "message timeout";
  } else if (over(pingSentAt_, options_.pongTimeout)) {
    kind = Refusal::pongTimeout;
    reason = "no pong";
  } else {
    return Next::readMore;
  }
  closeWith(out, kPolicyViolation, reason);
  timedOut_ = true;
  events_.onRefused(kind, {});
  return Next::closeAfterFlush;
}

void Session::abandon() {
  if (phase_ < Phase::closing) phase_ = Phase::closing;
  fragmentOpen_ = false;
  release(message_);
}

void Session::finish() {
  phase_ = Phase::closed;
  fragmentOpen_ = false;
  release(message_);
}

}  // namespace net
