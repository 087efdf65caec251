// SPDX-License-Identifier: MIT
// One connection's socket side, top to bottom: reading (a turn reads what has arrived, first into
// the connection's small buffer, then into the loop's shared one), the session takes the bytes and
// queues the answers, and doWrite/onWrite write them once at the end of every entry point.
#include "net/connection.h"

#include <sys/socket.h>

#include <algorithm>
#include <new>
#include <optional>
#include <utility>

#include "net/buffers.h"
#include "net/hold_link.h"

namespace net {
namespace {

// Reads per readiness before other connections get their turn.
constexpr int kReadsPerTurn = 16;
// Data messages one turn takes before other connections get theirs; the rest waits in in_ for
// the connection's next turn, so one burst cannot keep everyone else waiting.
constexpr std::size_t kMessagesPerTurn = 64;
// A frame's announced size is trusted for one up-front reservation only up to this much.
constexpr std::uint64_t kMaxReserve = 64u << 20;
// Unsent output above which no further message is taken, and the connection is not read, until
// it has all gone out. Input held while an answer is awaited is not read beyond it either.
constexpr std::size_t kMaxUnsent = 256 * 1024;
// Turns that start with Asio's read after a plain read of the loop's pass found nothing, unless a
// pass is due anyway.
constexpr std::uint8_t kWaitedReads = 32;
// Unread input discarded at close, so the close is not turned into a reset.
constexpr int kDrainReads = 16;

bool wouldBlock(const std::error_code& error) {
  return error == asio::error::would_block || error == asio::error::try_again;
}

}  // namespace

Connection::Connection(Loop& loop, asio::ip::tcp::socket socket)
    : loop_(loop), socket_(std::move(socket)), session_(loop.options, *this), lastIo_(nowSeconds()) {
  loop_.adopt(this);
}

// Leaving the loop's lists is the hooks' own work. A hold still outstanding is cut off.
Connection::~Connection() {
  if (hold_) hold_->detach();
  loop_.forget();
}

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

void Connection::start() {
  std::error_code ignored;
  socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
  socket_.non_blocking(true, ignored);
  guarded([this] {
    if (const auto& timeout = loop_.options.handshakeTimeout) {
      handshakeTimer_ = std::make_unique<asio::steady_timer>(loop_.io, *timeout);
      operation([this](auto handler) { handshakeTimer_->async_wait(std::move(handler)); },
                [this](const std::error_code& error) {
                  // Cancelled by the upgrade or the close otherwise.
                  if (error || session_.phase() != Session::Phase::head) return;
                  loop_.refusals.note(Refusal::handshakeTimeout);
                  close();
                });
    }
    onEvent(EV_ACCEPT, nullptr);
    if (!closed_) readFirst();
    doWrite();  // what the handler queued at the accept, when no turn has written it
  });
}

void Connection::onEvent(int event, void* data) {
  // The session knows no socket: the ends of the connection are added here, for the service to
  // learn which user's page connected. Two system calls, so only for a page (one with an Origin).
  if (event == EV_WEBSOCKET_HANDSHAKE_REQUEST && !static_cast<UpgradeRequest*>(data)->origin.empty()) {
    auto& request = *static_cast<UpgradeRequest*>(data);
    socklen_t length = sizeof request.peer;
    if (::getpeername(socket_.native_handle(), reinterpret_cast<sockaddr*>(&request.peer), &length) != 0) {
      request.peer.ss_family = AF_UNSPEC;
    }
    length = sizeof request.local;
    if (::getsockname(socket_.native_handle(), reinterpret_cast<sockaddr*>(&request.local), &length) != 0) {
      request.local.ss_family = AF_UNSPEC;
    }
  }
  loop_.handler(this, event, data);
}

void Connection::onRefused(Refusal kind, std::string_view origin) { loop_.refusals.note(kind, origin); }

// ---- reading
//
// A connection's read state (readState_), and what moves it on:
//
//   waiting  Asio's read is pending: epoll reports the socket    its handler runs a turn
//   queued   on the loop's read queue, for its next read pass    passTurn runs a turn (held input
//                                                                first), or sends it back to
//                                                                waiting if nothing came
//   reading  a turn reads and hands the bytes to the session     endTurn: queued; waiting for a
//                                                                slow peer when no pass is due;
//                                                                or paused
//   paused   its unsent output is above kMaxUnsent, or the input  continueInput, once the output
//            held for an awaited answer reached it               has gone and no answer is awaited:
//                                                                queued if input is held, else waiting
//   stopped  a close queued or done (error, refused upgrade,      nothing: it is never read again
//            message too big, memory ran out), peer half-closed
//
// A new connection starts with readFirst: a turn if its request is there, else waiting.
// Any state goes to stopped when the connection closes. A queued connection is in the loop's
// queue, not pending in Asio: if it is deleted meanwhile, its hook takes it off the queue.
// Input held back (held_) is taken again before anything more is read: by the next pass turn, or,
// when an answer arrives while Asio's read is pending or the peer has finished, by a posted turn.

// The client sends its request as soon as it is connected, and whether that has arrived by the
// accept depends on the client and the load. A plain read takes it if it has; after one that
// found nothing, the next few new connections wait in Asio at once, which tries a read itself.
// The requests after the 101 follow only after a round trip: until it shows it keeps up with the
// loop, a new connection waits in Asio rather than in the read pass.
void Connection::readFirst() {
  waitedReads_ = kWaitedReads;
  if (loop_.takeWaitedStart()) waitForData();
  else if (!readNow()) loop_.waitNextStarts();
}

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
  loop_.queueRead(this);
}

std::size_t Connection::passTurn() {
  std::size_t taken = 0;
  guarded([&] {
    if (readState_ != ReadState::queued) return;
    if (held_ && !session_.awaitingAnswer()) {
      readState_ = ReadState::reading;
      taken = takeHeld();
      doWrite();
      endTurn();
      return;
    }
    taken = readNow().value_or(0);
  });
  return taken;
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

// The socket is edge-triggered underneath: a read shorter than its buffer emptied the socket; a
// full one means more may be there, so the turn reads on until the socket would block, at most
// kReadsPerTurn times; whatever is left is read by the next turn. Returns the bytes read.
std::size_t Connection::turn(const std::error_code& firstError, std::size_t firstSize) {
  readState_ = ReadState::reading;
  turnMessages_ = 0;
  std::size_t taken = firstSize;
  inputDrained_ = firstSize < firstRead_.size();
  bool more = takeRead(firstError, firstRead_.data(), firstSize) && !inputDrained_;
  for (int reads = 0; more && reads < kReadsPerTurn; ++reads) {
    std::error_code error;
    const std::size_t n = socket_.read_some(asio::buffer(loop_.readBuffer(), Loop::kReadBufferSize), error);
    inputDrained_ = wouldBlock(error) || n < Loop::kReadBufferSize;
    if (wouldBlock(error)) break;
    more = takeRead(error, loop_.readBuffer(), n) && !inputDrained_;
    taken += n;
  }
  doWrite();  // once per turn, whatever the number of replies
  endTurn();
  return taken;
}

// One read's outcome: false when the turn reads no further (peer gone, error, closed, or input
// held back).
bool Connection::takeRead(const std::error_code& error, unsigned char* data, std::size_t size) {
  if (error == asio::error::eof) {
    // Half-closed: what is queued, and the answers to what it sent before, still go out.
    readState_ = ReadState::stopped;
    peerFinished_ = true;
    closeWhenPeerDone();
    return false;
  }
  if (error) {
    close();
    return false;
  }
  if (size == 0) return true;
  lastIo_ = nowSeconds();
  session_.arrivedAt(lastIo_);
  consume(data, size);
  return readState_ == ReadState::reading && !held_;
}

// A peer that sends requests without reading the replies is not read any further until what
// is queued for it has gone out, so its replies cannot pile up in memory without end; neither is
// one whose input waits for an answer beyond the same bound.
void Connection::endTurn() {
  if (readState_ != ReadState::reading) return;  // stopped
  const bool awaiting = session_.awaitingAnswer();
  if (unsent() > kMaxUnsent || (awaiting && in_.size() >= kMaxUnsent)) {
    readState_ = ReadState::paused;
    return;
  }
  if (held_ && !awaiting) {
    queueForNextPass();  // the turn's message budget ran out: the rest after the others' turns
    return;
  }
  if (waitedReads_ > 0 && !loop_.readPassDue()) {
    // A peer slower than the loop, and no pass due for others: a pass would find nothing, so the
    // wait starts at once. When one is due anyway, joining it costs nothing.
    --waitedReads_;
    waitForData();
    return;
  }
  queueForNextPass();
}

// Takes the input held back, with a fresh budget. Returns its size, what a pass counts.
std::size_t Connection::takeHeld() {
  turnMessages_ = 0;
  const std::size_t size = in_.size();
  consume(nullptr, 0);
  closeWhenPeerDone();
  return size;
}

// Called whenever something that held the input may have gone (the output went out, an answer
// came): a paused connection reads again, and held input is taken first.
void Connection::continueInput() {
  if (closed_ || closeAfterFlush_ || session_.awaitingAnswer() || unsent() > kMaxUnsent) return;
  if (readState_ == ReadState::paused) {
    if (held_) queueForNextPass();
    else waitForData();
    return;
  }
  // Waiting in Asio, or the peer finished: no read comes to take the held input, so a turn of its
  // own does. Queued or reading connections take it in their turn.
  if (!held_ || heldTurnPosted_) return;
  if (readState_ != ReadState::waiting && readState_ != ReadState::stopped) return;
  operation([this](auto handler) { asio::post(loop_.io, std::move(handler)); },
            [this] {
              heldTurnPosted_ = false;
              if (closed_ || !held_ || session_.awaitingAnswer()) return;
              takeHeld();
              doWrite();
              continueInput();
            });
  heldTurnPosted_ = true;
}

// Hands the session the new bytes; when nothing is carried over, straight from the read buffer.
// Only the incomplete tail, or the input held back, is ever copied.
void Connection::consume(unsigned char* data, std::size_t size) {
  const std::size_t budget = kMessagesPerTurn - std::min(turnMessages_, kMessagesPerTurn);
  Session::Result result{};
  if (in_.empty()) {
    result = session_.take(data, size, out_, room(), budget);
    if (result.used < size && result.next <= Session::Next::hold) {
      const std::uint64_t expected = session_.expected();
      if (expected > size - result.used) in_.reserve(std::min(expected, kMaxReserve));
      in_.assign(reinterpret_cast<const char*>(data) + result.used, size - result.used);
    }
  } else {
    if (size) in_.append(reinterpret_cast<const char*>(data), size);
    result = session_.take(reinterpret_cast<unsigned char*>(in_.data()), in_.size(), out_, room(), budget);
    in_.erase(0, result.used);
    if (in_.empty()) release(in_);
    else if (session_.expected() > in_.capacity()) in_.reserve(std::min(session_.expected(), kMaxReserve));
  }
  turnMessages_ += result.messages;
  held_ = result.next == Session::Next::hold && !in_.empty();
  if (handshakeTimer_ && session_.phase() != Session::Phase::head) {
    handshakeTimer_->cancel();
    handshakeTimer_.reset();
  }
  if (result.next == Session::Next::closeAfterFlush) closeAfterFlush();
  else if (result.next == Session::Next::closeNow) close();
}

// After the peer's end of stream, the connection closes once nothing it sent waits any more.
void Connection::closeWhenPeerDone() {
  if (peerFinished_ && !held_ && !session_.awaitingAnswer()) closeAfterFlush();
}

// Output room before the unsent-output bound: the session takes no message once it is used.
std::size_t Connection::room() const {
  return unsent() > kMaxUnsent ? 0 : kMaxUnsent - unsent() + 1;
}

// ---- holding

std::shared_ptr<HoldLink> Connection::startHold() {
  auto link = std::make_shared<HoldLink>(loop_.inbox, this);
  session_.awaitAnswer();
  hold_ = link;
  ++pendingOps_;  // it keeps the connection until its answer has been taken
  return link;
}

void Connection::takeAnswer(HoldAnswer answer) {
  --pendingOps_;
  hold_.reset();
  if (closed_) return;  // closed meanwhile: the answer is dropped
  guarded([&] {
    session_.answered();
    switch (answer.kind) {
      case HoldAnswer::Kind::reply:
        session_.appendFrame(out_, OP_TEXT, answer.text.data(), answer.text.size());
        break;
      case HoldAnswer::Kind::close:
        session_.closeWith(out_, answer.status, answer.text);
        closeAfterFlush();
        break;
      case HoldAnswer::Kind::resume:
        break;
    }
    closeWhenPeerDone();
    doWrite();
    continueInput();
  });
}

// ---- writing

void Connection::queueFrame(unsigned opcode, const void* data, std::size_t length) {
  if (closed_) return;
  session_.appendFrame(out_, opcode, data, length);
}

void Connection::onTick(std::int64_t now) {
  if (closed_) return;
  guarded([&] {
    switch (session_.expire(now, out_)) {
      case Session::Next::closeNow:
        close();
        return;
      case Session::Next::closeAfterFlush:
        closeAfterFlush();
        doWrite();
        return;
      default:
        break;
    }
    if (session_.phase() != Session::Phase::open || now <= lastIo_ + 5) return;
    session_.ping(out_, now);
    lastIo_ = now;
    doWrite();
  });
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
  continueInput();  // everything went out: the peer reads again, so do we
}

void Connection::onWrite(const std::error_code& error) {
  if (closed_) return;
  if (error) {
    close();
    return;
  }
  doWrite();
}

// The last bytes are queued (or the peer finished): nothing more is read.
void Connection::closeAfterFlush() {
  readState_ = ReadState::stopped;
  closeAfterFlush_ = true;
  held_ = false;
  release(in_);
}

void Connection::close() {
  if (closed_) return;
  closed_ = true;
  readState_ = ReadState::stopped;
  held_ = false;
  if (handshakeTimer_) handshakeTimer_->cancel();
  if (hold_) hold_->abandon();
  session_.finish();
  onEvent(EV_CLOSE, nullptr);
  // Unread input would make the kernel answer the close with a reset, which can overtake the
  // last frame on its way to the peer. Nothing is left to read after the peer's end of stream, nor
  // after its Close frame came in a read that emptied the socket (a peer sends nothing after its
  // Close): the close alone then sends our end. Otherwise a few reads take what is there, and
  // if more keeps coming, a shutdown sends our end before the close.
  std::error_code error;
  if (!peerFinished_ && !(session_.peerClosed() && inputDrained_)) {
    bool stillComing = true;
    for (int i = 0; i < kDrainReads && stillComing; ++i) {
      socket_.read_some(asio::buffer(loop_.readBuffer(), Loop::kReadBufferSize), error);
      stillComing = !error;
    }
    if (stillComing) socket_.shutdown(asio::socket_base::shutdown_both, error);
  }
  socket_.close(error);
  release(in_);
  release(out_);
}

// Memory ran out while this connection asked for more (a buffer growing for what it sent, a reply
// for it, its handler's own work): it alone is closed, after the replies already queued for it
// where they can still go out, and the loop serves the others on.
void Connection::outOfMemory() noexcept {
  loop_.log("connection closed: out of memory");
  held_ = false;
  release(in_);
  session_.abandon();
  if (closed_) return;
  closeAfterFlush();
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
