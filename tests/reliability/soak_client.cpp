// SPDX-License-Identifier: MIT
// The behaviours of one soak client over the raw test client. Each connection writes what it sends
// into one buffer, notes in order what it is owed for it (replies, pongs, a close frame) and sends
// the buffer in random splits; it then reads and matches frame after frame against what it is owed.
#include "tests/reliability/soak_client.h"

#include <sys/socket.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/reliability/envelope.h"
#include "tests/support/ws_client.h"

namespace soak {

namespace {

using testsupport::FrameSpec;
using testsupport::LengthForm;
using testsupport::RawClient;

constexpr int kReplyTimeoutMs = 20000;
constexpr char kNonContinuation[] = "non-continuation in the middle of a fragmented message";
constexpr char kFragmentedControl[] = "fragmented control frames are illegal";
constexpr char kOverflowed[] = "overflowed message";

// Something the service owes the client, in the order it is owed.
struct Owed {
  enum Kind { reply, pong, close } kind;
  std::string payload;  // the exact reply text, or the ping's or close's payload
  bool anyEnvelope = false;
};

struct Batch {
  std::string bytes;
  std::vector<Owed> owed;
};

// What reading the owed frames came to.
enum class Settled { all, failed, peerClosed };

}  // namespace

Client::Client(const RequestMaker& maker, Stats& stats, std::uint64_t seed, std::uint16_t port,
               Clock::time_point deadline)
    : maker_(maker), stats_(stats), random_(seed), port_(port), deadline_(deadline) {}

namespace {

std::size_t uniform(std::mt19937_64& random, std::size_t low, std::size_t high) {
  return std::uniform_int_distribution<std::size_t>(low, high)(random);
}
bool chance(std::mt19937_64& random, unsigned percent) { return uniform(random, 0, 99) < percent; }

std::string randomBytes(std::mt19937_64& random, std::size_t length) {
  std::string bytes;
  for (std::size_t i = 0; i < length; ++i) bytes.push_back(static_cast<char>(uniform(random, 0, 255)));
  return bytes;
}

FrameSpec spec(unsigned opcode, bool fin, std::mt19937_64& random) {
  FrameSpec s;
  s.opcode = opcode;
  s.fin = fin;
  for (unsigned char& byte : s.mask) byte = static_cast<unsigned char>(uniform(random, 0, 255));
  return s;
}

void addPing(Batch& batch, std::mt19937_64& random) {
  const std::string payload = randomBytes(random, uniform(random, 0, 125));
  batch.bytes += testsupport::buildFrame(payload, spec(9, true, random));
  batch.owed.push_back({Owed::pong, payload});
}

// Appends one message in one of the framings the service must accept alike, with pings between
// fragments now and then, and notes the reply it earns.
void addMessage(Batch& batch, const Request& request, std::mt19937_64& random) {
  const std::string& text = request.text;
  const std::size_t mode = uniform(random, 0, 99);
  if (mode < 55) {
    batch.bytes += testsupport::buildFrame(text, spec(1, true, random));
  } else if (mode < 65) {
    batch.bytes += testsupport::buildFrame(text, spec(2, true, random));
  } else if (mode < 70) {  // reserved data opcodes are delivered like data
    batch.bytes += testsupport::buildFrame(text, spec(static_cast<unsigned>(uniform(random, 3, 7)), true, random));
  } else if (mode < 77) {
    FrameSpec s = spec(1, true, random);
    s.masked = false;
    batch.bytes += testsupport::buildFrame(text, s);
  } else if (mode < 82) {  // RSV bits are ignored, longer length forms accepted
    FrameSpec s = spec(1, true, random);
    s.rsv = static_cast<unsigned>(uniform(random, 1, 7));
    s.form = chance(random, 50) ? LengthForm::bits64 : (text.size() < 65536 ? LengthForm::bits16 : LengthForm::bits64);
    batch.bytes += testsupport::buildFrame(text, s);
  } else {
    const std::size_t pieces = uniform(random, 2, 4);
    std::size_t start = 0;
    for (std::size_t i = 0; i < pieces; ++i) {
      const bool last = i + 1 == pieces;
      const std::size_t end = last ? text.size() : uniform(random, start, text.size());
      const unsigned opcode = i == 0 ? (chance(random, 70) ? 1u : 2u) : 0u;
      batch.bytes += testsupport::buildFrame(std::string_view(text).substr(start, end - start), spec(opcode, last, random));
      start = end;
      if (!last && chance(random, 40)) addPing(batch, random);
      if (!last && chance(random, 10)) batch.bytes += testsupport::buildFrame("unsolicited", spec(10, true, random));
    }
  }
  batch.owed.push_back({Owed::reply, request.expected, request.expected.empty()});
}

// A batch of requests of every kind, with pings and ignored reserved control frames among them.
Batch makeBatch(const RequestMaker& maker, std::mt19937_64& random, std::size_t count) {
  Batch batch;
  for (std::size_t i = 0; i < count; ++i) {
    if (chance(random, 8)) addPing(batch, random);
    if (chance(random, 4)) {
      batch.bytes += testsupport::buildFrame("reserved", spec(static_cast<unsigned>(uniform(random, 11, 15)), true, random));
    }
    addMessage(batch, maker.any(random), random);
  }
  return batch;
}

// Sends the bytes in one to four pieces cut at random places, as a network might deliver them.
bool sendSplit(RawClient& client, const std::string& bytes, std::mt19937_64& random) {
  const std::size_t pieces = uniform(random, 1, 4);
  std::size_t start = 0;
  for (std::size_t i = 0; i < pieces; ++i) {
    const std::size_t end = i + 1 == pieces ? bytes.size() : uniform(random, start, bytes.size());
    if (end > start && !client.send(std::string_view(bytes).substr(start, end - start))) return false;
    start = end;
  }
  return true;
}

std::string preview(const std::string& text) {
  std::string shown;
  for (char c : text.substr(0, 160)) shown.push_back(c >= 0x20 && c < 0x7F ? c : '.');
  return text.size() > 160 ? shown + "..." : shown;
}

bool matches(const Owed& owed, const testsupport::ReceivedFrame& frame) {
  if (frame.masked || !frame.fin()) return false;
  switch (owed.kind) {
    case Owed::reply:
      if (frame.opcode() != 1) return false;
      return owed.anyEnvelope ? reliability::parseEnvelope(frame.payload).has_value() : frame.payload == owed.payload;
    case Owed::pong:
      return frame.opcode() == 10 && frame.payload == owed.payload;
    case Owed::close:
      return frame.opcode() == 8 && frame.payload == owed.payload;
  }
  return false;
}

// Reads the owed frames in order, skipping the service's idle pings, and counts what came.
Settled settle(RawClient& client, const std::vector<Owed>& owed, Stats& stats, const char* where) {
  for (std::size_t i = 0; i < owed.size(); ++i) {
    std::optional<testsupport::ReceivedFrame> frame = client.readFrame(kReplyTimeoutMs);
    while (frame && frame->opcode() == 9 && frame->payload.empty()) {
      ++stats.serverPings;
      frame = client.readFrame(kReplyTimeoutMs);
    }
    if (!frame) {
      std::size_t missing = 0;
      for (std::size_t j = i; j < owed.size(); ++j) missing += owed[j].kind == Owed::reply;
      stats.lost += missing;
      const bool closed = client.drain(0).closed;
      stats.fail(std::string(where) + ": " + std::to_string(missing) + " replies never came (" +
                 (closed ? "the service closed the connection" : "timed out") + "), next owed: " +
                 preview(owed[i].payload));
      return closed ? Settled::peerClosed : Settled::failed;
    }
    if (matches(owed[i], *frame)) {
      if (owed[i].kind == Owed::reply) ++stats.repliesOk;
      if (owed[i].kind == Owed::pong) ++stats.pongs;
      continue;
    }
    // A frame that is owed later was sent too early; one owed to nobody is wrong.
    bool later = false;
    for (std::size_t j = i + 1; j < owed.size() && !later; ++j) later = !owed[j].anyEnvelope && matches(owed[j], *frame);
    if (later) {
      ++stats.misordered;
    } else {
      ++stats.wrong;
    }
    stats.fail(std::string(where) + ": " + (later ? "misordered" : "wrong") + " frame (opcode " +
               std::to_string(frame->opcode()) + ") " + preview(frame->payload) + "; owed " + preview(owed[i].payload));
    return Settled::failed;
  }
  return Settled::all;
}

std::size_t repliesIn(const Batch& batch) {
  std::size_t count = 0;
  for (const Owed& owed : batch.owed) count += owed.kind == Owed::reply;
  return count;
}

// Sends a batch and reads everything it earns.
bool exchange(RawClient& client, const Batch& batch, std::mt19937_64& random, Stats& stats, const char* where) {
  stats.requests += repliesIn(batch);
  if (!sendSplit(client, batch.bytes, random)) {
    stats.fail(std::string(where) + ": sending failed");
    return false;
  }
  return settle(client, batch.owed, stats, where) == Settled::all;
}

// Reset instead of FIN when the socket is closed.
void armReset(RawClient& client) {
  const linger abort{1, 0};
  ::setsockopt(client.fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

const char* randomPath(std::mt19937_64& random) {
  static constexpr const char* kPaths[] = {"/", "/ws", "/any/path?x=1", "/index.html"};
  return kPaths[uniform(random, 0, 3)];
}

}  // namespace

// Connects and upgrades, now and then sending the request head one byte at a time.
static bool openConnection(RawClient& client, std::uint16_t port, std::mt19937_64& random, Stats& stats) {
  ++stats.connections;
  if (!client.connect(port)) {
    stats.fail("connect failed");
    return false;
  }
  if (chance(random, 10)) {
    ++stats.bytewiseHeads;
    const std::string request = RawClient::upgradeRequest(randomPath(random));
    for (char byte : request) {
      if (!client.send(std::string_view(&byte, 1))) {
        stats.fail("byte-by-byte head: send failed");
        return false;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(uniform(random, 0, 2000)));
    }
    // 129 bytes: the 101 response for the sample key, without a protocol header.
    const std::optional<std::string> head = client.readExactly(129, kReplyTimeoutMs);
    if (!head || head->find(testsupport::kSampleAccept) == std::string::npos || !head->ends_with("\r\n\r\n")) {
      stats.fail("byte-by-byte head: no 101 response");
      return false;
    }
    return true;
  }
  if (client.upgrade(randomPath(random), "", testsupport::kSampleKey, kReplyTimeoutMs).find(testsupport::kSampleAccept) ==
      std::string::npos) {
    stats.fail("upgrade: no 101 response");
    return false;
  }
  return true;
}

void Client::conversation() {
  RawClient client;
  if (!openConnection(client, port_, random_, stats_)) return;
  const std::size_t rounds = uniform(random_, 1, 6);
  for (std::size_t round = 0; round < rounds && Clock::now() < deadline_; ++round) {
    if (!exchange(client, makeBatch(maker_, random_, uniform(random_, 1, 20)), random_, stats_, "conversation")) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(uniform(random_, 0, 30)));
  }

  const std::size_t ending = uniform(random_, 0, 99);
  if (ending < 40) {  // close handshake: the close payload comes back, then the service closes
    Batch batch;
    const std::string payload = std::string("\x03\xe8", 2) + "bye";
    batch.bytes = testsupport::buildFrame(payload, spec(8, true, random_));
    batch.owed.push_back({Owed::close, payload});
    if (exchange(client, batch, random_, stats_, "close handshake")) {
      if (client.waitClosed(kReplyTimeoutMs)) {
        ++stats_.cleanCloses;
      } else {
        stats_.fail("close handshake: the service kept the connection open");
      }
    }
  } else if (ending < 60) {
    // The client just goes (FIN).
  } else if (ending < 72) {  // half-close: replies already earned must still come, then the close
    const Batch batch = makeBatch(maker_, random_, uniform(random_, 1, 20));
    stats_.requests += repliesIn(batch);
    if (!sendSplit(client, batch.bytes, random_)) return stats_.fail("half-close: sending failed");
    client.shutdownWrite();
    if (settle(client, batch.owed, stats_, "half-close") != Settled::all) return;
    if (client.waitClosed(kReplyTimeoutMs)) {
      ++stats_.halfCloses;
    } else {
      stats_.fail("half-close: the service kept the connection open");
    }
  } else if (ending < 84) {  // reset while replies are still being written
    Batch batch;
    for (std::size_t i = uniform(random_, 20, 100); i > 0; --i) addMessage(batch, maker_.bulky(random_), random_);
    client.send(batch.bytes);
    if (chance(random_, 50)) client.readFrame(kReplyTimeoutMs);
    armReset(client);
    ++stats_.resets;
  } else {  // a protocol error after a batch: the batch's replies, then the close text, then the end
    Batch batch = makeBatch(maker_, random_, uniform(random_, 1, 5));
    std::string bad;
    std::string closeText = kNonContinuation;
    switch (uniform(random_, 0, 3)) {
      case 0:  // a continuation with no message open
        bad = testsupport::buildFrame("", spec(0, uniform(random_, 0, 1) == 1, random_));
        break;
      case 1:
        bad = testsupport::buildFrame("ping", spec(9, false, random_));
        closeText = kFragmentedControl;
        break;
      case 2:  // a new data frame while a fragmented message is open
        bad = testsupport::buildFrame("{\"type\":", spec(1, false, random_)) +
              testsupport::buildFrame("\"GetLibVersion\"}", spec(1, uniform(random_, 0, 1) == 1, random_));
        break;
      default:  // a length that overflows with the header added
        bad = std::string("\x81\xff") + std::string(8, '\xff') + "mask";
        closeText = kOverflowed;
        break;
    }
    stats_.requests += repliesIn(batch);
    // The bad frame goes in one piece: the service closes as soon as it sees it, and bytes still
    // on their way would then meet a reset.
    if (!sendSplit(client, batch.bytes, random_) || !client.send(bad)) return stats_.fail("protocol error: sending failed");
    batch.owed.push_back({Owed::close, closeText});
    if (settle(client, batch.owed, stats_, "protocol error") != Settled::all) return;
    if (client.waitClosed(kReplyTimeoutMs)) {
      ++stats_.protocolCloses;
    } else {
      stats_.fail("protocol error: the service kept the connection open after its close frame");
    }
  }
}

void Client::slowReader() {
  RawClient client;
  if (!openConnection(client, port_, random_, stats_)) return;
  ++stats_.slowReaders;
  const int small = 4096;
  ::setsockopt(client.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const timeval sendLimit{10, 0};
  ::setsockopt(client.fd(), SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);

  Batch batch;
  for (std::size_t i = uniform(random_, 100, 400); i > 0; --i) addMessage(batch, maker_.bulky(random_), random_);
  const bool readsLater = chance(random_, 50);
  if (readsLater) stats_.requests += repliesIn(batch);
  if (!client.send(batch.bytes)) return stats_.fail("slow reader: sending blocked for 10 s");
  std::this_thread::sleep_for(std::chrono::milliseconds(uniform(random_, 500, 3000)));
  if (readsLater) {
    settle(client, batch.owed, stats_, "slow reader");
  } else if (chance(random_, 50)) {
    armReset(client);
  }
}

void Client::idle() {
  RawClient client;
  if (!openConnection(client, port_, random_, stats_)) return;
  ++stats_.idleConnections;
  // Quiet for more than 5 whole seconds earns an empty ping; 8.5 s leaves room for the tick.
  const auto quietUntil = Clock::now() + std::chrono::milliseconds(8500);
  bool pinged = false;
  while (Clock::now() < quietUntil) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(quietUntil - Clock::now()).count();
    const std::optional<testsupport::ReceivedFrame> frame = client.readFrame(static_cast<int>(left));
    if (!frame) break;
    if (frame->opcode() == 9 && frame->payload.empty()) {
      pinged = true;
      ++stats_.serverPings;
    } else {
      return stats_.fail("idle: an unexpected frame " + preview(frame->payload));
    }
  }
  if (!pinged) return stats_.fail("idle: no ping after 8.5 s of silence");
  exchange(client, makeBatch(maker_, random_, uniform(random_, 1, 10)), random_, stats_, "after idle");
}

void Client::plainHttpThenUpgrade() {
  RawClient client;
  ++stats_.connections;
  if (!client.connect(port_)) return stats_.fail("plain HTTP: connect failed");
  ++stats_.plainHttp;
  const std::string request = chance(random_, 50) ? "GET /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                                                  : "POST /form HTTP/1.1\r\nContent-Length: 11\r\n\r\nhello world";
  if (!client.send(request)) return stats_.fail("plain HTTP: sending failed");
  const testsupport::Drained answer = client.drain(300);
  if (!answer.bytes.empty() || answer.closed) {
    return stats_.fail("plain HTTP: expected silence and an open connection, got " + preview(answer.bytes) +
                       (answer.closed ? " and a close" : ""));
  }
  // A later request with a key on the same connection is upgraded.
  if (client.upgrade("/", "", testsupport::kSampleKey, kReplyTimeoutMs).find(testsupport::kSampleAccept) == std::string::npos) {
    return stats_.fail("plain HTTP: the later upgrade request got no 101");
  }
  exchange(client, makeBatch(maker_, random_, uniform(random_, 1, 10)), random_, stats_, "after plain HTTP");
}

void Client::badHead() {
  RawClient client;
  ++stats_.connections;
  if (!client.connect(port_)) return stats_.fail("bad head: connect failed");
  ++stats_.badHeads;
  std::string head;
  switch (uniform(random_, 0, 3)) {
    case 0:
      head = "GET / HTTP/1.1\r\nHost: a\x01z\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
      break;
    case 1:
      head = "GET / HTTP/1.1\r\nX-Pad: " + std::string(9000, 'a');
      break;
    case 2:
      head = "HELLO\r\n\r\n";
      break;
    default:
      head = "GET / HTTP/1.1\r\nX: \x7f\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
      break;
  }
  client.send(head);  // the service may close before all of it is sent
  const testsupport::Drained answer = client.drain(kReplyTimeoutMs);
  if (!answer.closed || !answer.bytes.empty()) {
    stats_.fail("bad head: expected a close without a byte, got " + preview(answer.bytes) +
                (answer.closed ? " and a close" : " and no close"));
  }
}

void Client::largeMessage() {
  RawClient client;
  if (!openConnection(client, port_, random_, stats_)) return;
  ++stats_.largeMessages;
  Batch batch;
  addMessage(batch, maker_.large(random_, uniform(random_, 64 * 1024, 1024 * 1024)), random_);
  exchange(client, batch, random_, stats_, "large message");
}

void Client::oversizedClaim() {
  RawClient client;
  if (!openConnection(client, port_, random_, stats_)) return;
  ++stats_.oversizedClaims;
  // A header that promises far more than will ever come: the service must wait without
  // reserving what was promised, and let go when the client leaves.
  std::string header = "\x81\xff";
  const std::uint64_t promised = std::uint64_t{1} << uniform(random_, 31, 62);
  for (int i = 7; i >= 0; --i) header.push_back(static_cast<char>(promised >> (8 * i)));
  header += "mask";
  client.send(header + randomBytes(random_, uniform(random_, 0, 4096)));
  const testsupport::Drained answer = client.drain(static_cast<int>(uniform(random_, 100, 500)));
  if (!answer.bytes.empty() || answer.closed) {
    stats_.fail("oversized claim: expected silence, got " + preview(answer.bytes) + (answer.closed ? " and a close" : ""));
  }
  if (chance(random_, 50)) armReset(client);
}

void Client::run() {
  while (Clock::now() < deadline_) {
    const auto left = deadline_ - Clock::now();
    const std::size_t roll = uniform(random_, 0, 99);
    if (roll < 55) {
      conversation();
    } else if (roll < 61) {
      slowReader();
    } else if (roll < 65 && left > std::chrono::seconds(12)) {
      idle();
    } else if (roll < 73) {
      plainHttpThenUpgrade();
    } else if (roll < 81) {
      badHead();
    } else if (roll < 91) {
      largeMessage();
    } else {
      oversizedClaim();
    }
  }
}

}  // namespace soak
