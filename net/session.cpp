// SPDX-License-Identifier: MIT
// A connection's protocol from its first byte to its close, one pulled event at a time.
#include "net/session.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "net/buffers.h"
#include "net/handshake.h"
#include "net/ws_frame.h"

namespace net {

Session::Session(const ServerOptions& options)
    : options_(options),
      maxMessageBytes_(options.maxMessageBytes.value_or(std::numeric_limits<std::uint64_t>::max())) {}

void Session::receive(unsigned char* data, std::size_t size) {
  data_ = data;
  size_ = size;
  pos_ = 0;
  expected_ = 0;
}

// Heads, bodies skipped and frames without an event are passed over until one gives an event or
// nothing more can be taken.
Session::Pulled Session::next(std::string& out) {
  // The joined message last pulled was the handler's until now.
  if (messageFlags_ == 0 && message_.capacity() != 0) release(message_);
  if (phase_ >= Phase::closing) return {};
  if (phase_ == Phase::upgrading) return answerUpgrade(out);
  expected_ = 0;
  while (pos_ < size_) {
    const std::size_t before = pos_;
    const Pulled pulled = phase_ == Phase::head ? takeHead(out) : takeFrame(out);
    if (pulled.event != 0) return pulled;
    if (pos_ == before || phase_ >= Phase::closing) break;
  }
  // An incomplete message's time runs from the arrival of the bytes that first left it incomplete.
  if (phase_ == Phase::open) {
    if (messageFlags_ == 0 && pos_ == size_) incompleteSince_.reset();
    else if (!incompleteSince_) incompleteSince_ = arrived_;
  }
  return {};
}

Session::Pulled Session::takeHead(std::string& out) {
  const std::size_t size = size_ - pos_;
  if (bodyLeft_ > 0) {
    const std::size_t skip = static_cast<std::size_t>(std::min<std::uint64_t>(bodyLeft_, size));
    bodyLeft_ -= skip;
    pos_ += skip;
    return {};
  }
  RequestHead head;
  const std::string_view bytes(reinterpret_cast<const char*>(data_ + pos_), size);
  switch (parseRequestHead(bytes, head, headScanned_)) {
    case HeadVerdict::needMore:
      headScanned_ = size;
      return {};
    case HeadVerdict::bad:
      phase_ = Phase::closed;  // not HTTP: no reply of any kind
      refused_ = Refused{Refusal::notHttp, {}};
      return {};
    case HeadVerdict::done:
      break;
  }
  headScanned_ = 0;
  if (head.key.empty() && !options_.allowedOrigins.empty()) {
    // With an Origin list the port serves upgrades only: a plain request (a page's fetch() or
    // <img>) is answered at once and closed, so it never keeps a connection place.
    refuse(out, kUpgradeRequired, Refusal::upgradeRequired, head.origin);
    return {};
  }
  if (head.key.empty()) {
    bodyLeft_ = head.contentLength;
    pos_ += head.length;
    return {EV_HTTP_REQUEST, nullptr};
  }
  // With a list, a head whose Origin may lie past the examined lines is not judged as one without.
  const bool originUnknown = head.truncated && head.origin.empty() && !options_.allowedOrigins.empty();
  if (originUnknown || !originAllowed(head.origin)) {
    // The handler never hears of a refused upgrade; the 403 goes out, then the connection closes.
    refuse(out, kForbidden, Refusal::forbidden, head.origin);
    return {};
  }
  // The head stays in the input until the next pull answers it.
  head_ = head;
  request_ = UpgradeRequest{.origin = head.origin};
  phase_ = Phase::upgrading;
  return {EV_WEBSOCKET_HANDSHAKE_REQUEST, &request_};
}

Session::Pulled Session::answerUpgrade(std::string& out) {
  if (request_.refuse) {
    appendWhole(out, [](std::string& o) { o.append(kForbidden); });
    phase_ = Phase::closing;
    return {};
  }
  appendWhole(out, [&](std::string& o) { appendHandshakeResponse(o, head_.key, head_.protocol); });
  phase_ = Phase::open;
  pos_ += head_.length;
  head_ = RequestHead{};
  return {EV_WEBSOCKET_HANDSHAKE_DONE, nullptr};
}

// The answer is the last bytes of the connection.
void Session::refuse(std::string& out, std::string_view answer, Refusal kind, std::string_view origin) {
  appendWhole(out, [&](std::string& o) { o.append(answer); });
  phase_ = Phase::closing;
  refused_ = Refused{kind, origin};
}

// Without a list every Origin is let in; with one, only the listed ones, byte for byte, and a
// request without Origin (or with an empty one) as the options say.
bool Session::originAllowed(std::string_view origin) const {
  const std::vector<std::string>& allowed = options_.allowedOrigins;
  if (allowed.empty()) return true;
  if (origin.empty()) return options_.allowMissingOrigin;
  return std::find(allowed.begin(), allowed.end(), origin) != allowed.end();
}

// Judged on the header alone, so nothing of an over-long message is buffered. A continuation
// counts with what its message has joined so far, which was within the limit.
bool Session::overLimit(std::string& out, unsigned opcode, std::size_t headerLength, std::uint64_t payloadLength) {
  if (headerLength == 0) return false;
  const std::uint64_t joined = opcode == OP_CONTINUATION ? message_.size() : 0;
  if (payloadLength <= maxMessageBytes_ - joined) return false;
  closeAfter(out, kMessageTooBig, sizeof kMessageTooBig - 1);
  return true;
}

Session::Pulled Session::takeFrame(std::string& out) {
  Frame frame;
  unsigned char* data = data_ + pos_;
  const FrameVerdict verdict = decodeFrame(data, size_ - pos_, messageFlags_ != 0, frame);
  if (verdict == FrameVerdict::protocolError) {
    closeAfter(out, frame.error, std::strlen(frame.error));
    return {};
  }
  if (overLimit(out, frame.opcode, frame.headerLength, frame.payloadLength)) return {};
  if (verdict == FrameVerdict::needMore) {
    if (frame.headerLength != 0) expected_ = frame.headerLength + frame.payloadLength;
    return {};
  }
  unsigned char* payload = data + frame.headerLength;
  const auto length = static_cast<std::size_t>(frame.payloadLength);
  if (frame.masked) unmaskPayload(payload, length, frame.mask);
  pingSentAt_.reset();  // any whole frame shows the peer is there, a pong or not
  pos_ += frame.headerLength + length;

  Pulled pulled;
  if (frame.opcode >= 8) {
    pulled = onControl(out, frame.opcode, payload, length);
  } else if (frame.opcode == OP_CONTINUATION) {
    message_.append(reinterpret_cast<const char*>(payload), length);
    if (frame.fin) {
      const unsigned char flags = messageFlags_;
      messageFlags_ = 0;  // message_ is released by the next pull
      event_ = WebSocketMessage{reinterpret_cast<unsigned char*>(message_.data()), message_.size(), flags};
      pulled = {EV_WEBSOCKET_FRAME, &event_};
    }
  } else if (!frame.fin) {
    messageFlags_ = static_cast<unsigned char>(0x80 | frame.opcode);
    message_.assign(reinterpret_cast<const char*>(payload), length);
  } else {
    event_ = WebSocketMessage{payload, length, static_cast<unsigned char>(0x80 | frame.opcode)};
    pulled = {EV_WEBSOCKET_FRAME, &event_};
  }
  if (messageFlags_ == 0) incompleteSince_.reset();  // the message is whole: the next one's time starts anew
  return pulled;
}

Session::Pulled Session::onControl(std::string& out, unsigned opcode, unsigned char* payload, std::size_t length) {
  switch (opcode) {
    case OP_PING:
      appendFrame(out, OP_PONG, payload, length);
      break;
    case OP_PONG:
      break;
    case OP_CLOSE:
      ending_ = Ending::peerClose;
      closeAfter(out, payload, length);  // the peer's close echoed, status and reason as they came
      break;
    default:
      return {};  // reserved control opcodes are ignored
  }
  event_ = WebSocketMessage{payload, length, static_cast<unsigned char>(0x80 | opcode)};
  return {EV_WEBSOCKET_CONTROL_FRAME, &event_};
}

// Frames are only decoded here: payloads stay masked, and a protocol error is left for the pull to
// meet in its order. Each frame is judged on its own length against the limit.
void Session::lookAhead(std::string& out, bool answerClose) {
  if (phase_ != Phase::open) return;
  bool fragmentOpen = messageFlags_ != 0;
  for (std::size_t pos = pos_; pos < size_;) {
    Frame frame;
    const FrameVerdict verdict = decodeFrame(data_ + pos, size_ - pos, fragmentOpen, frame);
    if (verdict == FrameVerdict::protocolError) return;
    if (frame.headerLength != 0 && frame.payloadLength > maxMessageBytes_) {
      closeAfter(out, kMessageTooBig, sizeof kMessageTooBig - 1);
      return;
    }
    if (verdict == FrameVerdict::needMore) return;
    pingSentAt_.reset();
    const auto length = static_cast<std::size_t>(frame.payloadLength);
    if (frame.opcode == OP_CLOSE && answerClose) {
      std::array<unsigned char, 125> payload;  // a control frame's payload is at most 125 bytes
      const std::size_t kept = std::min(length, payload.size());
      std::memcpy(payload.data(), data_ + pos + frame.headerLength, kept);
      if (frame.masked) unmaskPayload(payload.data(), kept, frame.mask);
      ending_ = Ending::peerClose;
      closeAfter(out, payload.data(), kept);
      return;
    }
    if (frame.opcode < 8) fragmentOpen = !frame.fin;
    pos += frame.headerLength + length;
  }
}

// The last frame of the connection: nothing after it is taken or sent.
void Session::closeAfter(std::string& out, const void* payload, std::size_t length) {
  appendFrame(out, OP_CLOSE, payload, length);
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
  if (opcode == OP_CLOSE) {
    phase_ = Phase::closing;
    messageFlags_ = 0;
  }
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

void Session::ping(std::string& out, std::int64_t now) {
  if (appendFrame(out, OP_PING, nullptr, 0) && !pingSentAt_) pingSentAt_ = now;
}

// Strictly more than the limit in whole seconds: a start stamped late in its second still gets
// the whole time.
Session::Expiry Session::expire(std::int64_t now, std::string& out) {
  if (ending_ == Ending::timeout && phase_ == Phase::closing) return Expiry::closeNow;  // the peer does not read its close
  if (phase_ != Phase::open) return Expiry::none;
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
    return Expiry::none;
  }
  closeWith(out, kPolicyViolation, reason);
  ending_ = Ending::timeout;
  refused_ = Refused{kind, {}};
  return Expiry::closeAfterFlush;
}

void Session::endOfStream() {
  if (ending_ == Ending::none) ending_ = Ending::peerEnd;
}

void Session::stop() {
  if (phase_ < Phase::closing) phase_ = Phase::closing;
  messageFlags_ = 0;
  release(message_);
}

void Session::finish() {
  phase_ = Phase::closed;
  messageFlags_ = 0;
  release(message_);
}

std::optional<Session::Refused> Session::takeRefusal() {
  std::optional<Refused> refused = refused_;
  refused_.reset();
  return refused;
}

}  // namespace net
