// SPDX-License-Identifier: MIT
// One connection's flow, top to bottom: reading (a turn reads what has arrived, first into the
// connection's small buffer, then into the loop's shared one; the loop's read pass gives busy
// connections their next turn), the pure parsers say what the bytes are, and doWrite/onWrite
// write the queued frames.
#include "net/connection.h"

#include <malloc.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <utility>

#include "net/handshake.h"
#include "net/http_head.h"
#include "net/ws_frame.h"

namespace net {
namespace {

// Buffers larger than this are given back once empty, so an idle connection stays small.
constexpr std::size_t kKeepCapacity = 2048;
// Reads per readiness before other connections get their turn.
constexpr int kReadsPerTurn = 16;
// A frame's announced size is trusted for one up-front reservation only up to this much.
constexpr std::uint64_t kMaxReserve = 64u << 20;
// Unsent output above which no further message is processed, and the connection is not read,
// until it has all gone out. Checked before every message, control frames included.
constexpr std::size_t kMaxUnsent = 256 * 1024;
// Turns that start with Asio's read after a plain read of the loop's pass found nothing, unless a
// pass is due anyway.
constexpr std::uint8_t kWaitedReads = 32;
// New connections that wait in Asio at once after one found nothing at its accept.
constexpr std::uint8_t kWaitedStarts = 2;
// Unread input discarded at close, so the close is not turned into a reset.
constexpr int kDrainReads = 16;
// How far one turn of the loop may go on with read passes before epoll is polled again: reads,
// and bytes read.
constexpr std::size_t kReadsBeforePoll = 128;
constexpr std::size_t kBytesBeforePoll = 16 * 1024;

// Above this, a released buffer is handed back to the system at once.
constexpr std::size_t kTrimCapacity = 1u << 20;

// The answer to an upgrade whose Origin is not allowed, then the connection closes. Its 64 bytes:
//   HTTP/1.1 403 Forbidden CR LF
//   Content-Length: 0 CR LF
//   Connection: close CR LF
//   CR LF
// No body, no frame ever; the two headers tell the client that there is no body and nothing after.
constexpr std::string_view kForbidden =
    "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

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
  loop_.connections.pushFront(this);
  ++loop_.liveConnections;
}

// Leaving the loop's lists is the hooks' own work.
Connection::~Connection() { --loop_.liveConnections; }

void Connection::settle(Connection* connection) {
  if (connection->closed_ && connection->pendingOps_ == 0) delete connection;
}

// Starts an Asio operation: `initiate` is given the handler to start it with, and `body` runs when
// it completes. The operation counts as pending from here until its handler has run (or until its
// start has failed), and the connection is settled after it. Every Asio operation goes through here.
template <class Initiate, class Body>
void Connection::operation(Initiate initiate, Body body) {
  ++pendingOps_;
  try {
    initiate([this, body](auto... args) {
      --pendingOps_;
      guarded([&] { body(args...); });
      settle(this);
    });
  } catch (...) {
    --pendingOps_;
    throw;
  }
}

// Runs one entry point's work: memory running out costs this connection, never the loop.
template <class Body>
void Connection::guarded(Body body) {
  try {
    body();
  } catch (const std::bad_alloc&) {
    outOfMemory();
  }
}

// Appends all that `write` appends to out_, or nothing: a frame cut short by a failed allocation
// would garble everything after it on the wire.
template <class Write>
void Connection::appendWhole(Write write) {
  const std::size_t before = out_.size();
  try {
    write(out_);
  } catch (...) {
    out_.resize(before);
    throw;
  }
}

void Connection::start() {
  std::error_code ignored;
  socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
  socket_.non_blocking(true, ignored);
  guarded([this] {
    if (const auto& timeout = loop_.options.handshakeTimeout) {
      handshakeTimer_ = std::make_unique<asio::steady_timer>(loop_.io, *timeout);
      operation([this](auto handler) { handshakeTimer_->async_wait(std::move(handler)); },
                [this](const std::error_code& error) {
                  if (!error && !websocket_) close();  // cancelled by the upgrade or the close otherwise
                });
    }
    raise(EV_ACCEPT, nullptr);
    if (!closed_) readFirst();
  });
}

void Connection::raise(int event, void* data) { loop_.handler(this, event, data); }

// ---- reading
//
// A connection's read state (readState_), and what moves it on:
//
//   waiting  Asio's read is pending: epoll reports the socket    its handler runs a turn
//   queued   on loop.readQueue, for the loop's next read pass    readPass runs a turn, or sends it
//                                                                back to waiting if nothing came
//   reading  a turn reads and processes what has arrived          endTurn: queued; waiting for a
//                                                                slow peer when no pass is due;
//                                                                or paused
//   paused   its unsent output is above kMaxUnsent                doWrite, once all has gone out:
//                                                                queued if input is held, else waiting
//   stopped  a close queued or done (error, refused upgrade,      nothing: it is never read again
//            message too big, memory ran out), peer half-closed
//
// A new connection starts with readFirst: a turn if its request is there, else waiting.
// Any state goes to stopped when the connection closes. A queued connection is in the loop's
// queue, not pending in Asio: if it is deleted meanwhile, its hook takes it off the queue.

void Connection::waitForData() {
  readState_ = ReadState::waiting;
  operation([this](auto handler) { socket_.async_read_some(asio::buffer(firstRead_), std::move(handler)); },
            [this](const std::error_code& error, std::size_t n) {
              if (readState_ == ReadState::waiting) turn(error, n);
            });
}

// The next turn waits for the loop's next pass over the queued connections, after the other
// ready ones had their turn: by then the peer has usually answered the reply just written.
void Connection::queueForNextPass() {
  readState_ = ReadState::queued;
  loop_.readQueue.pushBack(this);
  if (!loop_.readPassPosted) postReadPass(loop_);
}

// Posted behind what is already due (epoll's next poll included): by the time the pass runs,
// most peers have answered the replies just written.
void Connection::postReadPass(Loop& loop) {
  asio::post(loop.io, [&loop] { readPass(loop); });
  loop.readPassPosted = true;  // only once posted: a failed post is tried again by the next queueing
}

void Connection::readPass(Loop& loop) {
  // A pass reads every connection queued. Another pass follows without a poll in between only
  // while every read of the last one found data, and up to a bound in reads and bytes: then no
  // connection waits in epoll while the passes go on, and sockets that do (new and quiet ones)
  // are not held up for long. Between passes the peers answer, and the readiness events of busy
  // sockets gather in epoll, to be collected once per turn rather than once per request.
  std::size_t reads = 0;
  std::size_t bytes = 0;
  bool everyReadFoundData = true;
  const auto withinBounds = [&] { return reads < kReadsBeforePoll && bytes < kBytesBeforePoll; };
  IntrusiveList<Connection, ReadQueueTag> pass;
  while (!loop.readQueue.empty() && (reads == 0 || (everyReadFoundData && withinBounds()))) {
    pass.takeAll(loop.readQueue);  // connections read now queue up for the next pass
    while (Connection* c = pass.popFront()) {
      std::size_t taken = 0;
      c->guarded([&] { taken = c->readQueued(); });
      settle(c);
      if (taken == 0) everyReadFoundData = false;
      bytes += taken;
      ++reads;
    }
  }
  loop.readPassPosted = false;
  if (!loop.readQueue.empty()) {
    try {
      postReadPass(loop);
    } catch (const std::bad_alloc&) {
      loop.log("read pass not posted: out of memory");
    }
  }
}

// The client sends its request as soon as it is connected, and whether that has arrived by the
// accept depends on the client and the load. A plain read takes it if it has; after one that
// found nothing, the next few new connections wait in Asio at once, which tries a read itself.
// The requests after the 101 follow only after a round trip: until it shows it keeps up with the
// loop, a new connection waits in Asio rather than in the read pass.
void Connection::readFirst() {
  waitedReads_ = kWaitedReads;
  if (loop_.waitedStarts > 0) {
    --loop_.waitedStarts;
    waitForData();
  } else if (!readNow()) {
    loop_.waitedStarts = kWaitedStarts;
  }
}

std::size_t Connection::readQueued() {
  if (readState_ != ReadState::queued) return 0;
  if (held_) return resumeHeld();
  return readNow().value_or(0);
}

// A plain non-blocking read, no Asio operation: in a busy connection the next request is mostly
// there already. When it is not, the read waits for epoll as the first one did. Asio tries once
// more before it waits, so after such a miss the next few turns start with Asio's read alone: a
// lone peer slower than the loop then costs one failed read per request, not two.
// Returns the bytes taken in (what the pass counts), nothing if the socket had none.
std::optional<std::size_t> Connection::readNow() {
  std::error_code error;
  const std::size_t n = socket_.read_some(asio::buffer(firstRead_), error);
  if (wouldBlock(error)) {
    waitedReads_ = kWaitedReads;
    waitForData();
    return std::nullopt;
  }
  return turn(error, n);
}

// Input that the output bound held back is processed before anything more is read.
std::size_t Connection::resumeHeld() {
  readState_ = ReadState::reading;
  const std::size_t held = in_.size();
  inRead_ = true;
  consume(nullptr, 0);
  inRead_ = false;
  doWrite();
  endTurn();
  return held;
}

// The socket is edge-triggered underneath: a read shorter than its buffer emptied the socket; a
// full one means more may be there, so the turn reads on until the socket would block, at most
// kReadsPerTurn times; whatever is left is read by the next turn. Returns the bytes read.
std::size_t Connection::turn(const std::error_code& firstError, std::size_t firstSize) {
  readState_ = ReadState::reading;
  if (!takeRead(firstError, firstRead_.data(), firstSize)) {
    endTurn();
    return firstSize;
  }
  std::size_t taken = firstSize;
  bool more = firstSize == firstRead_.size();
  for (int reads = 0; more && reads < kReadsPerTurn; ++reads) {
    std::error_code error;
    const std::size_t n =
        socket_.read_some(asio::buffer(loop_.readBuffer.get(), Loop::kReadBufferSize), error);
    if (wouldBlock(error)) break;
    if (!takeRead(error, loop_.readBuffer.get(), n)) break;
    taken += n;
    more = n == Loop::kReadBufferSize;
  }
  endTurn();
  return taken;
}

// A peer that sends requests without reading the replies is not read any further until what
// is queued for it has gone out, so its replies cannot pile up in memory without end.
void Connection::endTurn() {
  if (readState_ != ReadState::reading) return;  // stopped
  if (unsent() > kMaxUnsent) {
    readState_ = ReadState::paused;
    return;
  }
  if (waitedReads_ > 0 && !loop_.readPassPosted) {
    // A peer slower than the loop, and no pass due for others: a pass would find nothing, so the
    // wait starts at once. When one is due anyway, joining it costs nothing.
    --waitedReads_;
    waitForData();
    return;
  }
  queueForNextPass();
}

// One read's outcome: false when the turn reads no further (peer gone, error, closed, or input
// held back by the output bound).
bool Connection::takeRead(const std::error_code& error, unsigned char* data, std::size_t size) {
  if (error == asio::error::eof) {
    // Half-closed: what is queued still goes out, then the connection closes.
    readState_ = ReadState::stopped;
    peerFinished_ = true;
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
  return readState_ == ReadState::reading && !held_;
}

// Processes straight from the shared buffer when nothing is carried over; otherwise joins the
// carried bytes first. Only the incomplete tail, or the input held back, is ever copied.
void Connection::consume(unsigned char* data, std::size_t size) {
  if (in_.empty()) {
    const std::size_t used = process(data, size);
    if (readState_ != ReadState::reading || used == size) return;
    if (expected_ > size - used) in_.reserve(std::min(expected_, kMaxReserve));
    in_.assign(reinterpret_cast<const char*>(data) + used, size - used);
    return;
  }
  if (size) in_.append(reinterpret_cast<const char*>(data), size);
  const std::size_t used = process(reinterpret_cast<unsigned char*>(in_.data()), in_.size());
  if (readState_ != ReadState::reading) {
    release(in_);
    return;
  }
  in_.erase(0, used);
  if (in_.empty()) release(in_);
  else if (expected_ > in_.capacity()) in_.reserve(std::min(expected_, kMaxReserve));
}

// Takes one message (or head) after another. Before each, the bound on unsent output: the rest is
// held back until the output has gone out, so no single read can pile up replies without end.
std::size_t Connection::process(unsigned char* data, std::size_t size) {
  std::size_t pos = 0;
  expected_ = 0;
  held_ = false;
  while (pos < size && readState_ == ReadState::reading) {
    if (unsent() > kMaxUnsent) {
      held_ = true;
      break;
    }
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
  if (!originAllowed(head.origin)) {
    refuseUpgrade();
    return 0;
  }
  raise(EV_WEBSOCKET_HANDSHAKE_REQUEST, nullptr);
  if (closed_) return 0;
  appendWhole([&](std::string& out) { appendHandshakeResponse(out, head.key, head.protocol); });
  lastIo_ = nowSeconds();
  websocket_ = true;
  if (handshakeTimer_) handshakeTimer_->cancel();
  raise(EV_WEBSOCKET_HANDSHAKE_DONE, nullptr);
  return head.length;
}

// Without a list every Origin is let in; with one, only the listed ones, byte for byte, and a
// request without Origin (or with an empty one) as the options say.
bool Connection::originAllowed(std::string_view origin) const {
  const std::vector<std::string>& allowed = loop_.options.allowedOrigins;
  if (allowed.empty()) return true;
  if (origin.empty()) return loop_.options.allowMissingOrigin;
  return std::find(allowed.begin(), allowed.end(), origin) != allowed.end();
}

// The handler never hears of a refused upgrade; the 403 goes out, then the connection closes.
void Connection::refuseUpgrade() {
  appendWhole([](std::string& out) { out.append(kForbidden); });
  closeQueued_ = true;
  readState_ = ReadState::stopped;
  closeAfterFlush_ = true;
}

std::size_t Connection::takeFrame(unsigned char* data, std::size_t size) {
  Frame frame;
  const FrameVerdict verdict = decodeFrame(data, size, fragmentOpen_, frame);
  if (verdict == FrameVerdict::protocolError) {
    closeAfter(OP_CLOSE, frame.error, std::strlen(frame.error));
    return 0;
  }
  // Judged on the header alone, so nothing of an over-long message is buffered. A continuation
  // counts with what its message has joined so far, which was within the limit.
  if (frame.headerLength != 0) {
    const std::uint64_t joined = frame.opcode == OP_CONTINUATION ? message_.size() : 0;
    if (frame.payloadLength > loop_.maxMessageBytes - joined) {
      closeAfter(OP_CLOSE, kMessageTooBig, sizeof kMessageTooBig - 1);
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
  readState_ = ReadState::stopped;
  closeAfterFlush_ = true;
}

// ---- writing

void Connection::queueFrame(unsigned opcode, const void* data, std::size_t length) {
  if (closed_ || closeQueued_) return;
  unsigned char header[kMaxFrameHeader];
  const std::size_t headerLength = encodeFrameHeader(header, opcode, length);
  appendWhole([&](std::string& out) {
    out.append(reinterpret_cast<const char*>(header), headerLength);
    if (length) out.append(static_cast<const char*>(data), length);
  });
  // During a read the read itself has just stamped the time, and the write follows it.
  if (inRead_) return;
  lastIo_ = nowSeconds();
  doWrite();
}

void Connection::pingIfIdle(std::int64_t now) {
  if (closed_ || !websocket_ || closeQueued_ || now <= lastIo_ + 5) return;
  guarded([this] { queueFrame(OP_PING, nullptr, 0); });
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
      operation([this](auto handler) { socket_.async_wait(asio::socket_base::wait_write, std::move(handler)); },
                [this](const std::error_code& e) {
                  writeWaiting_ = false;
                  onWrite(e);
                });
      writeWaiting_ = true;
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
  if (readState_ == ReadState::paused) {
    // Everything went out: the peer reads again, so do we; held input first.
    if (held_) queueForNextPass();
    else waitForData();
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
  readState_ = ReadState::stopped;
  held_ = false;
  if (handshakeTimer_) handshakeTimer_->cancel();
  raise(EV_CLOSE, nullptr);
  // Unread input would make the kernel answer the close with a reset, which can overtake the
  // last frame on its way to the peer. After the peer's end of stream nothing is left to read,
  // and the close alone sends ours.
  std::error_code error;
  if (!peerFinished_) {
    for (int i = 0; i < kDrainReads; ++i) {
      socket_.read_some(asio::buffer(loop_.readBuffer.get(), Loop::kReadBufferSize), error);
      if (error) break;
    }
    socket_.shutdown(asio::socket_base::shutdown_both, error);
  }
  socket_.close(error);
  release(in_);
  release(message_);
  release(out_);
}

// Memory ran out while this connection asked for more (a buffer growing for what it sent, a reply
// for it, its handler's own work): it alone is closed, after the replies already queued for it
// where they can still go out, and the loop serves the others on.
void Connection::outOfMemory() noexcept {
  loop_.log("connection closed: out of memory");
  inRead_ = false;
  held_ = false;
  fragmentOpen_ = false;
  release(in_);
  release(message_);
  if (closed_) return;
  closeQueued_ = true;
  readState_ = ReadState::stopped;
  closeAfterFlush_ = true;
  try {
    doWrite();
  } catch (const std::bad_alloc&) {
    close();  // not even the wait for writability could be set up
  }
}

void sendWebSocketFrame(Connection* connection, int opcode, const void* data, std::size_t length) {
  connection->queueFrame(static_cast<unsigned>(opcode), data, length);
}

}  // namespace net
