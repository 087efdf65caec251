// SPDX-License-Identifier: MIT
// Everything that moves a connection's state, in one place and without a socket: the states, what
// happens to a connection, the pure transition between them, the rule that stops a pull before a
// message, and the read policy's constants. Connection (connection.cpp) does the I/O each state
// needs; tests/net/connection_state_test.cpp checks the rules row by row.
#pragma once

#include <cstddef>
#include <cstdint>

namespace net {

// ---- The read policy, all of it.
// Reads per readiness before other connections get their turn.
inline constexpr int kReadsPerTurn = 16;
// Data messages one turn takes before other connections get theirs; the rest waits in the
// connection's input for its next turn, so one burst cannot keep everyone else waiting.
inline constexpr std::size_t kMessagesPerTurn = 64;
// Unsent output above which no further message is taken, and the connection is not read, until it
// has all gone out.
inline constexpr std::size_t kMaxUnsent = 256 * 1024;
// Input read while the handler holds the connection: enough to see a pong, a Close or the end of
// stream behind a page's requests, too little for a waiting page to pile up memory.
inline constexpr std::size_t kHeldInput = 4 * 1024;
// A frame's announced size is trusted for one up-front reservation only up to this much.
inline constexpr std::uint64_t kMaxReserve = 64u << 20;
// Turns that start with Asio's read after a plain read of the loop's pass found nothing, unless a
// pass is due anyway.
inline constexpr std::uint8_t kWaitedReads = 32;
// New connections that wait in Asio at once after one found nothing at its accept.
inline constexpr std::uint8_t kWaitedStarts = 2;
// How far one turn of the loop may go on with read passes before epoll is polled again: reads,
// and bytes read.
inline constexpr std::size_t kReadsBeforePoll = 128;
inline constexpr std::size_t kBytesBeforePoll = 16 * 1024;
// Unread input discarded at close, so the close is not turned into a reset.
inline constexpr int kDrainReads = 16;

// ---- States.
enum class State : std::uint8_t {
  waiting,   // Asio's read is pending: epoll reports the socket
  queued,    // on the loop's read queue, for its next read pass
  reading,   // a turn reads and hands the events to the handler
  paused,    // not read: its unsent output is above kMaxUnsent
  held,      // not read: the handler holds it and the input behind the hold reached kHeldInput
  finished,  // not read: the peer's end of stream came; what it sent is still being answered
  draining,  // the session is closing: what is queued goes out, then the close (Session::Phase)
  closed,    // the socket is closed (Session::Phase::closed)
};

// What happens to a connection.
enum class Happening : std::uint8_t {
  turnStarted,   // Asio's read completed, or the pass reached it
  turnEnded,     // its turn read and took all it could for now
  endOfStream,   // the peer's end of stream was read
  answered,      // the handler's hold was answered
  nothingRead,   // a plain read found the socket empty, or a new connection waits for its request
  inputTaken,    // input already in was taken without a read (after an answer or the output)
  outputGone,    // everything queued was written
  failed,        // a socket error or reset, a timeout's close that did not go out, the handshake
                 // timeout, a head that is not HTTP: closed now
};
// The session queuing its last bytes needs no happening: its phase is then closing, and the
// connection draining, as state() reads it.

// What the transition looks at besides the state.
struct Facts {
  bool overUnsent = false;  // unsent output above kMaxUnsent
  bool holding = false;     // the handler holds the connection
  bool heldAtStart = false; // ... since its upgrade, before any message was served
  bool heldFull = false;    // the input behind the hold reached kHeldInput
  bool inputLeft = false;   // input is in that a pull can take (it stopped at a message boundary)
  bool slowPeer = false;    // the connection's last pass read found nothing, a while ago
  bool passDue = false;     // the loop's next read pass is posted already
};

// The state after `what`, given the facts. Draining and closed are what the session's phase says;
// the connection moves the session there, it keeps no copy.
State transition(State from, Happening what, const Facts& facts);

// Why a pull stops before the next message, or pulls on (none).
enum class Stop : std::uint8_t { none, hold, room, budget, input };
// Checked before each message: a hold, unsent output above kMaxUnsent, and (when `budgeted`) the
// turn's message budget spent stop it.
Stop pullStop(bool holding, std::size_t unsent, std::size_t messagesTaken, bool budgeted);

}  // namespace net
