// SPDX-License-Identifier: MIT
// One connection's socket side, top to bottom: a turn reads what has arrived (first into the
// connection's small buffer, then into the loop's shared one), feeds it to the session and pulls
// the events one by one for the handler until the input is used or a stop rule says wait; then
// doWrite/onWrite write what was queued, once at the end of every entry point. Where the
// connection goes next is transition()'s (connection_state.h); this file does the I/O.
#include "net/connection.h"

#include <sys/socket.h>

#include <algorithm>
#include <new>
#include <utility>

#include "net/buffers.h"
#include "net/hold_link.h"

namespace net {
namespace {

bool wouldBlock(const std::error_code& error) {
  return error == asio::error::would_block || error == asio::error::try_again;
}

}  // namespace

Connection::Connection(Loop& loop, asio::ip::tcp::socket socket)
    : loop_(loop), socket_(std::move(socket)), session_(loop.options), lastIo_(nowSeconds()) {
  loop_.adopt(this);
}

// Leaving the loop's lists is the hooks' own work. A hold still outstanding is cut off.
Connection::~Connection() {
  if (hold_) hold_->detach();
}

State Connection::state() const {
  switch (session_.phase()) {
    case Session::Phase::closed:
      return State::closed;
    case Session::Phase::closing:
      return State::draining;
    default:
      return read_;
  }
}

void Connection::settle(Connection* connection) {
  if (connection->state() == State::closed && connection->pendingOps_ == 0) delete connection;
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

// The client sends its request as soon as it is connected, and whether that has arrived by the
// accept depends on the client and the load. A plain read takes it if it has; after one that
// found nothing, the next few new connections wait in Asio at once, which tries a read itself.
// The requests after the 101 follow only after a round trip: until it shows it keeps up with the
// loop, a new connection waits in Asio rather than in the read pass.
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
                  apply(Happening::failed);
                });
    }
    raise(EV_ACCEPT, nullptr);
    if (state() == State::reading) {
      waitedReads_ = kWaitedReads;
      if (loop_.takeWaitedStart()) apply(Happening::nothingRead);
      else turn(From::accept);
    }
    doWrite();  // what the handler queued at the accept, when no turn has written it
  });
}

void Connection::raise(int event, void* data) {
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

// ---- state

Facts Connection::facts(Stop lastPull) const {
  return Facts{.overUnsent = unsent() > kMaxUnsent,
               .holding = hold_ != nullptr,
               .heldAtStart = hold_ != nullptr && hold_->heldAtStart(),
               .heldFull = in_.size() >= kHeldInput,
               .inputLeft = !in_.empty() && lastPull != Stop::input,
               .slowPeer = waitedReads_ > 0,
               .passDue = loop_.readPassDue()};
}

// Moves to the state transition() gives and starts what that state waits on.
void Connection::apply(Happening what, Stop lastPull) {
  const State from = state();
  const State to = transition(from, what, facts(lastPull));
  if (to == State::closed) {
    close();
    return;
  }
  if (to == from) return;
  switch (to) {
    case State::waiting:
      read_ = to;
      waitForData();
      break;
    case State::queued:
      // The next turn waits for the loop's next pass over the queued connections, after the other
      // ready ones had their turn: by then the peer has usually answered the reply just written.
      read_ = to;
      loop_.queueRead(this);
      break;
    case State::draining:
      session_.stop();  // the session's phase says draining from now on
      release(in_);
      break;
    default:
      read_ = to;
      break;
  }
}

// ---- reading
//
// A queued connection is in the loop's queue, not pending in Asio: if it is deleted meanwhile,
// its hook takes it off the queue. At most one Asio read is pending, only while waiting; input
// already in is taken without a read while it is (see continueInput).

void Connection::waitForData() {
  operation([this](auto handler) {
              socket_.async_read_some(asio::buffer(firstRead_.data(), readLimit(firstRead_.size())), std::move(handler));
            },
            [this](const std::error_code& error, std::size_t n) {
              if (state() == State::waiting) turn(From::asio, error, n);
            });
}

std::size_t Connection::passTurn() {
  std::size_t taken = 0;
  guarded([&] {
    if (state() == State::queued) taken = turn(From::pass);
  });
  return taken;
}

// The one way in to a read turn. From Asio, its read's bytes are in firstRead_. From the pass or
// the accept, input already in is taken first, then the socket is read with a plain non-blocking
// read, no Asio operation: in a busy connection the next request is mostly there already. When it
// is not, the connection waits for epoll; Asio tries once more before it waits, so after such a
// miss the next few turns start with Asio's read alone (a lone peer slower than the loop then
// costs one failed read per request, not two).
// The socket is edge-triggered underneath: a read shorter than its buffer emptied the socket; a
// full one means more may be there, so the turn reads on until the socket would block, at most
// kReadsPerTurn times more; whatever is left is read by the next turn. Returns the bytes taken in.
std::size_t Connection::turn(From from, std::error_code error, std::size_t size) {
  apply(Happening::turnStarted);
  turnMessages_ = 0;
  Stop stop = Stop::input;
  std::size_t taken = 0;
  std::size_t capacity = firstRead_.size();
  if (from != From::asio) {
    if (!in_.empty()) {
      taken = in_.size();
      stop = take(nullptr, 0, true);
    }
    capacity = readLimit(firstRead_.size());
    if (stop != Stop::input || state() != State::reading || capacity == 0) {
      doWrite();
      apply(Happening::turnEnded, stop);
      return taken;
    }
    size = socket_.read_some(asio::buffer(firstRead_.data(), capacity), error);
    if (wouldBlock(error)) {
      if (from == From::accept) loop_.waitNextStarts();
      waitedReads_ = kWaitedReads;
      doWrite();
      apply(Happening::nothingRead);
      return taken;
    }
  }
  unsigned char* data = firstRead_.data();
  for (int reads = 0;; ++reads) {
    inputDrained_ = size < capacity;
    taken += size;
    if (!takeRead(error, data, size, stop) || inputDrained_ || reads == kReadsPerTurn) break;
    capacity = readLimit(Loop::kReadBufferSize);
    if (capacity == 0) break;
    data = loop_.readBuffer();
    size = socket_.read_some(asio::buffer(data, capacity), error);
    if (wouldBlock(error)) {
      inputDrained_ = true;
      break;
    }
  }
  doWrite();  // once per turn, whatever the number of replies
  apply(Happening::turnEnded, stop);
  if (state() == State::waiting && waitedReads_ > 0) --waitedReads_;
  return taken;
}

// One read's outcome: false when the turn reads no further (peer gone, error, closed, or a stop
// that more input would not change).
bool Connection::takeRead(const std::error_code& error, unsigned char* data, std::size_t size, Stop& stop) {
  if (error == asio::error::eof) {
    session_.endOfStream();
    apply(Happening::endOfStream, stop);
    return false;
  }
  if (error) {
    apply(Happening::failed);
    return false;
  }
  if (size == 0) return true;
  lastIo_ = nowSeconds();
  session_.arrivedAt(lastIo_);
  stop = take(data, size, true);
  // Held, it reads on up to kHeldInput: the peer's pong, Close, end of stream or reset is seen.
  return state() == State::reading && (stop == Stop::input || stop == Stop::hold);
}

// What a read may take: all of the buffer, or while held what is left of kHeldInput.
std::size_t Connection::readLimit(std::size_t buffer) const {
  if (!hold_) return buffer;
  return in_.size() >= kHeldInput ? 0 : std::min(buffer, kHeldInput - in_.size());
}

// Feeds the session the new bytes (none: the input already in) and pulls what it gives. When
// nothing is carried over, straight from the read buffer: only what is not taken is ever copied.
Stop Connection::take(unsigned char* data, std::size_t size, bool budgeted) {
  const bool fromInput = !in_.empty() || data == nullptr;
  if (fromInput) {
    if (size) in_.append(reinterpret_cast<const char*>(data), size);
    data = reinterpret_cast<unsigned char*>(in_.data());
    size = in_.size();
  }
  session_.receive(data, size);
  const Stop stop = pull(budgeted);
  if (const auto refused = session_.takeRefusal()) loop_.refusals.note(refused->kind, refused->origin);
  keepRest(data, size, fromInput);
  if (hold_ && !in_.empty()) {
    session_.receive(reinterpret_cast<unsigned char*>(in_.data()), in_.size());
    session_.lookAhead(out_, hold_->heldAtStart());
  }
  if (handshakeTimer_ && session_.phase() >= Session::Phase::open) {
    handshakeTimer_->cancel();
    handshakeTimer_.reset();
  }
  if (session_.phase() == Session::Phase::closed) apply(Happening::failed);  // not HTTP: no byte
  else if (session_.phase() == Session::Phase::closing) release(in_);
  return stop;
}

// Pulls the events one at a time and hands each to the handler, until the input gives none or a
// stop rule holds before the next message. A hold taken in the handler's call stops it there.
Stop Connection::pull(bool budgeted) {
  for (;;) {
    // The upgrade's answer belongs to its request: no stop between the two.
    if (session_.phase() != Session::Phase::upgrading) {
      const Stop stop = pullStop(hold_ != nullptr, unsent(), turnMessages_, budgeted);
      if (stop != Stop::none) return stop;
    }
    const Session::Pulled pulled = session_.next(out_);
    if (pulled.event == 0) return Stop::input;
    if (pulled.event == EV_WEBSOCKET_FRAME) ++turnMessages_;
    raise(pulled.event, pulled.data);
    if (hold_ && pulled.event == EV_WEBSOCKET_HANDSHAKE_DONE) hold_->markHeldAtStart();
  }
}

// Keeps what the session did not take, to be offered again in front of what arrives next.
void Connection::keepRest(unsigned char* data, std::size_t size, bool fromInput) {
  const std::size_t used = session_.used();
  const std::uint64_t expected = session_.expected();
  if (fromInput) {
    in_.erase(0, used);
    if (in_.empty()) release(in_);
    else if (expected > in_.capacity()) in_.reserve(std::min(expected, kMaxReserve));
    return;
  }
  if (used == size || session_.phase() >= Session::Phase::closing) return;
  if (expected > size - used) in_.reserve(std::min(expected, kMaxReserve));
  in_.assign(reinterpret_cast<const char*>(data) + used, size - used);
}

// Called when something that stopped the pulls may have gone (the output went out, an answer
// came). Queued and paused connections take their input in their next turn; one waiting in Asio,
// or whose peer has finished, has no read to come, so the input already in is taken here, whole.
void Connection::continueInput() {
  const State now = state();
  if ((now != State::waiting && now != State::finished) || hold_ || unsent() > kMaxUnsent) return;
  if (in_.empty() && now == State::waiting) return;
  const Stop stop = take(nullptr, 0, false);
  apply(Happening::inputTaken, stop);
  doWrite();
}

// ---- holding (net::hold puts the link in hold_; the pull stops when it finds it there)

void Connection::takeAnswer(HoldAnswer answer) {
  --pendingOps_;
  hold_.reset();
  if (state() == State::closed) return;  // closed meanwhile: the answer is dropped
  guarded([&] {
    switch (answer.kind) {
      case HoldAnswer::Kind::reply:
        session_.appendFrame(out_, OP_TEXT, answer.text.data(), answer.text.size());
        break;
      case HoldAnswer::Kind::close:
        session_.closeWith(out_, answer.status, answer.text);
        break;
      case HoldAnswer::Kind::resume:
        break;
    }
    apply(Happening::answered, Stop::hold);
    doWrite();
    continueInput();
  });
}

// ---- writing

void Connection::queueFrame(unsigned opcode, const void* data, std::size_t length) {
  if (state() == State::closed) return;
  session_.appendFrame(out_, opcode, data, length);
}

void Connection::queueClose(std::uint16_t status, std::string_view reason) {
  if (state() == State::closed) return;
  session_.closeWith(out_, status, reason);
}

void Connection::onTick(std::int64_t now) {
  if (state() == State::closed) return;
  guarded([&] {
    switch (session_.expire(now, out_)) {
      case Session::Expiry::closeNow:
        apply(Happening::failed);
        return;
      case Session::Expiry::closeAfterFlush:
        if (const auto refused = session_.takeRefusal()) loop_.refusals.note(refused->kind);
        release(in_);
        doWrite();
        return;
      case Session::Expiry::none:
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
  if (state() == State::closed || writeWaiting_) return;
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
      apply(Happening::failed);  // a send error costs only this connection
      return;
    }
    outSent_ += n;
    lastIo_ = nowSeconds();
  }
  out_.clear();
  outSent_ = 0;
  releaseIfLarge(out_);
  apply(Happening::outputGone, Stop::room);  // a paused connection reads again; a draining one closes
}

// The socket took more: write on; once everything went out the peer reads again, so do we.
void Connection::onWrite(const std::error_code& error) {
  if (state() == State::closed) return;
  if (error) {
    apply(Happening::failed);
    return;
  }
  doWrite();
  continueInput();
}

void Connection::close() {
  if (!socket_.is_open()) return;
  // Nothing is left to read after the peer's end of stream, nor after its Close frame came in a
  // read that emptied the socket (a peer sends nothing after its Close).
  const bool nothingToRead = session_.peerEnded() || (session_.peerDone() && inputDrained_);
  if (handshakeTimer_) handshakeTimer_->cancel();
  if (hold_) hold_->abandon();
  session_.finish();
  raise(EV_CLOSE, nullptr);
  // Unread input would make the kernel answer the close with a reset, which can overtake the
  // last frame on its way to the peer: the close alone sends our end when nothing is left to
  // read. Otherwise a few reads take what is there, and if more keeps coming, a shutdown sends
  // our end before the close.
  std::error_code error;
  if (!nothingToRead) {
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
  release(in_);
  if (state() == State::closed) return;
  session_.stop();
  try {
    doWrite();
  } catch (const std::bad_alloc&) {
    close();  // not even the wait for writability could be set up
  }
}

void sendWebSocketFrame(Connection* connection, int opcode, const void* data, std::size_t length) {
  connection->queueFrame(static_cast<unsigned>(opcode), data, length);
}

void closeWebSocket(Connection* connection, std::uint16_t status, std::string_view reason) {
  connection->queueClose(status, reason);
}

}  // namespace net
