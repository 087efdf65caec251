// SPDX-License-Identifier: MIT
// One connection's flow: doRead (Asio, waiting for epoll) or readAgain (the loop's pass over busy
// connections) and onRead read what arrives (first into the connection's small buffer, then into
// the loop's shared one), the pure parsers say what the bytes are, and doWrite/onWrite write the
// queued frames.
#include "net/connection.h"

#include <malloc.h>

#include <algorithm>
#include <cstring>

#include "net/handshake.h"
#include "net/http_head.h"
#include "net/loop.h"
#include "net/ws_frame.h"

namespace net {
namespace {

// Buffers larger than this are given back once empty, so an idle connection stays small.
constexpr std::size_t kKeepCapacity = 2048;
// Reads per readiness before other connections get their turn.
constexpr int kReadsPerTurn = 16;
// A frame's announced size is trusted for one up-front reservation only up to this much.
constexpr std::uint64_t kMaxReserve = 64u << 20;
// Unsent output above which a connection is not read until it has all gone out.
constexpr std::size_t kMaxUnsent = 256 * 1024;
// Turns that start with Asio's read after a plain read of the loop's pass found nothing.
constexpr std::uint8_t kWaitedReads = 8;
// Unread input discarded at close, so the close is not turned into a reset.
constexpr int kDrainReads = 16;

// Above this, a released buffer is handed back to the system at once.
constexpr std::size_t kTrimCapacity = 1u << 20;

// Gives a buffer's memory back. The allocator keeps freed large blocks on its heap once it has
// raised its mmap threshold, so a big message would otherwise leave its size resident for good.
void release(std::string& buffer) {
  const std::size_t capacity = buffer.capacity();
  std::string().swap(buffer);
  if (capacity >= kTrimCapacity) ::malloc_trim(0);
}

void releaseIfLarge(std::string& buffer) {
  if (buffer.capacity() > kKeepCapacity) release(buffer);
}

bool wouldBlock(const std::error_code& error) {
  return error == asio::error::would_block || error == asio::error::try_again;
}

}  // namespace

Connection::Connection(Loop& loop, asio::ip::tcp::socket socket)
    : loop_(loop), socket_(std::move(socket)), lastIo_(nowSeconds()) {
  loop_.link(this);
}

Connection::~Connection() { loop_.unlink(this); }

void Connection::settle(Connection* connection) {
  if (connection->closed_ && connection->pendingOps_ == 0) delete connection;
}

void Connection::start() {
  std::error_code ignored;
  socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
  socket_.non_blocking(true, ignored);
  raise(EV_ACCEPT, nullptr);
  if (!closed_) doRead();
}

void Connection::raise(int event, void* data) { loop_.handler(this, event, data); }

// ---- reading

// The first read of a turn lands in the connection's own small buffer through async_read_some:
// Asio then reads as soon as epoll reports the socket, without the epoll_ctl that re-arming a
// readiness wait costs on every turn. Only a read that fills it goes on into the shared buffer.
void Connection::doRead() {
  ++pendingOps_;
  socket_.async_read_some(asio::buffer(firstRead_), [this](const std::error_code& error, std::size_t n) {
    --pendingOps_;
    onRead(error, n);
    settle(this);
  });
}

// The socket is edge-triggered underneath: a read shorter than its buffer emptied the socket; a
// full one means more may be there, so the turn reads on until the socket would block, at most
// kReadsPerTurn times; whatever is left is read by the next turn.
std::size_t Connection::onRead(const std::error_code& firstError, std::size_t firstSize) {
  if (closed_) return 0;
  if (!takeRead(firstError, firstRead_.data(), firstSize)) return 0;
  std::size_t taken = firstSize;
  bool more = firstSize == firstRead_.size();
  for (int turn = 0; more && turn < kReadsPerTurn; ++turn) {
    std::error_code error;
    const std::size_t n =
        socket_.read_some(asio::buffer(loop_.readBuffer.get(), Loop::kReadBufferSize), error);
    if (wouldBlock(error)) break;
    if (!takeRead(error, loop_.readBuffer.get(), n)) return 0;
    taken += n;
    more = n == Loop::kReadBufferSize;
  }
  // A peer that sends requests without reading the replies is not read any further until what
  // is queued for it has gone out, so its replies cannot pile up in memory without end.
  if (out_.size() - outSent_ > kMaxUnsent) {
    readPaused_ = true;
    return taken;
  }
  // The next read waits for the loop's next pass over the queued connections, after the other
  // ready ones had their turn: by then the peer has usually answered the reply just written.
  ++pendingOps_;
  loop_.queueRead(this);
  return taken;
}

// A plain non-blocking read, no Asio operation: in a busy connection the next request is mostly
// there already. When it is not, the read waits for epoll as the first one did. Asio tries once
// more before it waits, so after such a miss the next few turns start with Asio's read alone: a
// lone peer slower than the loop then costs one failed read per request, not two.
std::size_t Connection::readAgain() {
  --pendingOps_;
  if (closed_) return 0;
  if (waitedReads_ > 0) {
    --waitedReads_;
    doRead();
    return 0;
  }
  std::error_code error;
  const std::size_t n = socket_.read_some(asio::buffer(firstRead_), error);
  if (wouldBlock(error)) {
    waitedReads_ = kWaitedReads;
    doRead();
    return 0;
  }
  return onRead(error, n);
}

// One read's outcome: false when the connection stops reading (peer gone, error, closed).
bool Connection::takeRead(const std::error_code& error, unsigned char* data, std::size_t size) {
  if (error == asio::error::eof) {
    // Half-closed: what is queued still goes out, then the connection closes.
    reading_ = false;
    closeAfterFlush_ = true;
    doWrite();
    return false;
  }
  if (error) {
    close();
    return false;
  }
  if (size == 0) return true;
  lastIo_ = nowSeconds();
  inRead_ = true;
  consume(data, size);
  inRead_ = false;
  doWrite();  // once per read, whatever the number of replies
  return !closed_ && reading_;
}

// Processes straight from the shared buffer when nothing is carried over; otherwise joins the
// carried bytes first. Only the incomplete tail is ever copied.
void Connection::consume(unsigned char* data, std::size_t size) {
  if (in_.empty()) {
    const std::size_t used = process(data, size);
    if (!reading_ || used == size) return;
    if (expected_ > size - used) in_.reserve(std::min(expected_, kMaxReserve));
    in_.assign(reinterpret_cast<const char*>(data) + used, size - used);
    return;
  }
  in_.append(reinterpret_cast<const char*>(data), size);
  const std::size_t used = process(reinterpret_cast<unsigned char*>(in_.data()), in_.size());
  if (!reading_) {
    release(in_);
    return;
  }
  in_.erase(0, used);
  if (in_.empty()) release(in_);
  else if (expected_ > in_.capacity()) in_.reserve(std::min(expected_, kMaxReserve));
}

std::size_t Connection::process(unsigned char* data, std::size_t size) {
  std::size_t pos = 0;
  expected_ = 0;
  while (pos < size && reading_) {
    const std::size_t used =
        websocket_ ? takeFrame(data + pos, size - pos) : takeHttp(data + pos, size - pos);
    if (used == 0) break;
    pos += used;
  }
  return pos;
}

std::size_t Connection::takeHttp(unsigned char* data, std::size_t size) {
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
      close();  // not HTTP: no reply of any kind
      return 0;
    case HeadVerdict::done:
      break;
  }
  headScanned_ = 0;
  if (head.key.empty()) {
    raise(EV_HTTP_REQUEST, nullptr);
    bodyLeft_ = head.contentLength;
    return head.length;
  }
  raise(EV_WEBSOCKET_HANDSHAKE_REQUEST, nullptr);
  if (closed_) return 0;
  appendHandshakeResponse(out_, head.key, head.protocol);
  lastIo_ = nowSeconds();
  websocket_ = true;
  raise(EV_WEBSOCKET_HANDSHAKE_DONE, nullptr);
  return head.length;
}

std::size_t Connection::takeFrame(unsigned char* data, std::size_t size) {
  Frame frame;
  switch (decodeFrame(data, size, fragmentOpen_, frame)) {
    case FrameVerdict::needMore:
      if (frame.headerLength != 0) expected_ = frame.headerLength + frame.payloadLength;
      return 0;
    case FrameVerdict::protocolError:
      closeAfter(OP_CLOSE, frame.error, std::strlen(frame.error));
      return 0;
    case FrameVerdict::done:
      break;
  }
  unsigned char* payload = data + frame.headerLength;
  const auto length = static_cast<std::size_t>(frame.payloadLength);
  if (frame.masked) unmaskPayload(payload, length, frame.mask);

  if (frame.opcode >= 8) {
    onControl(frame.opcode, payload, length);
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
  return frame.headerLength + length;
}

void Connection::onControl(unsigned opcode, unsigned char* payload, std::size_t length) {
  switch (opcode) {
    case OP_PING:
      queueFrame(OP_PONG, payload, length);
      break;
    case OP_PONG:
      break;
    case OP_CLOSE:
      closeAfter(OP_CLOSE, payload, length);
      break;
    default:
      return;  // reserved control opcodes are ignored
  }
  WebSocketMessage message{payload, length, static_cast<unsigned char>(0x80 | opcode)};
  raise(EV_WEBSOCKET_CONTROL_FRAME, &message);
}

void Connection::deliver(unsigned char* payload, std::size_t length, unsigned char flags) {
  WebSocketMessage message{payload, length, flags};
  raise(EV_WEBSOCKET_FRAME, &message);
}

// The last frame of the connection: nothing after it is read or sent.
void Connection::closeAfter(unsigned opcode, const void* payload, std::size_t length) {
  queueFrame(opcode, payload, length);
  closeQueued_ = true;
  reading_ = false;
  closeAfterFlush_ = true;
}

// ---- writing

void Connection::queueFrame(unsigned opcode, const void* data, std::size_t length) {
  if (closed_ || closeQueued_) return;
  unsigned char header[kMaxFrameHeader];
  const std::size_t headerLength = encodeFrameHeader(header, opcode, length);
  out_.append(reinterpret_cast<const char*>(header), headerLength);
  if (length) out_.append(static_cast<const char*>(data), length);
  // During a read the read itself has just stamped the time, and the write follows it.
  if (inRead_) return;
  lastIo_ = nowSeconds();
  doWrite();
}

void Connection::pingIfIdle(std::int64_t now) {
  if (closed_ || !websocket_ || closeQueued_ || now <= lastIo_ + 5) return;
  queueFrame(OP_PING, nullptr, 0);
}

// A non-blocking write first; the wait for writability only when the socket is full. Only
// this function writes, always from the front of out_, so frames leave in queue order.
void Connection::doWrite() {
  if (closed_ || writeWaiting_) return;
  while (outSent_ < out_.size()) {
    std::error_code error;
    const std::size_t n =
        socket_.write_some(asio::buffer(out_.data() + outSent_, out_.size() - outSent_), error);
    if (wouldBlock(error)) {
      writeWaiting_ = true;
      ++pendingOps_;
      socket_.async_wait(asio::socket_base::wait_write, [this](const std::error_code& e) {
        --pendingOps_;
        writeWaiting_ = false;
        onWrite(e);
        settle(this);
      });
      return;
    }
    if (error) {
      close();  // a send error costs only this connection
      return;
    }
    outSent_ += n;
    lastIo_ = nowSeconds();
  }
  out_.clear();
  outSent_ = 0;
  releaseIfLarge(out_);
  if (closeAfterFlush_) {
    close();
    return;
  }
  if (readPaused_ && reading_) {
    readPaused_ = false;  // everything went out: the peer reads again, so do we
    doRead();
  }
}

void Connection::onWrite(const std::error_code& error) {
  if (closed_) return;
  if (error) {
    close();
    return;
  }
  doWrite();
}

void Connection::close() {
  if (closed_) return;
  closed_ = true;
  reading_ = false;
  raise(EV_CLOSE, nullptr);
  // Unread input would make the kernel answer the close with a reset, which can overtake the
  // last frame on its way to the peer.
  std::error_code error;
  for (int i = 0; i < kDrainReads; ++i) {
    socket_.read_some(asio::buffer(loop_.readBuffer.get(), Loop::kReadBufferSize), error);
    if (error) break;
  }
  socket_.shutdown(asio::socket_base::shutdown_both, error);
  socket_.close(error);
  release(in_);
  release(message_);
  release(out_);
}

void sendWebSocketFrame(Connection* connection, int opcode, const void* data, std::size_t length) {
  connection->queueFrame(static_cast<unsigned>(opcode), data, length);
}

}  // namespace net
