// SPDX-License-Identifier: MIT
#include "service/consent/agent_socket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <exception>
#include <new>

#include "service/consent/agent_line.h"

namespace {

// An agent's line is a short JSON object; one that grows past this is not an agent talking.
constexpr std::size_t kMaxLine = 16 * 1024;
// How long accepting pauses after a lasting error (no descriptor left, no memory).
constexpr std::chrono::milliseconds kAcceptRetry{500};

// Whether a process accepts connections on the socket file: then it is not a stale one to replace
// (another daemon serves it, under a test's or an operator's hand).
bool someoneListens(const std::string& path) {
  asio::io_context io;
  asio::local::stream_protocol::socket probe(io);
  std::error_code error;
  probe.connect(asio::local::stream_protocol::endpoint(path), error);
  return !error;
}

}  // namespace

struct AgentSocket::Agent {
  explicit Agent(asio::io_context& io) : socket(io), input(kMaxLine) {}
  consent::AgentId id = 0;
  uid_t uid = 0;
  bool asking = true;  // false once it sent a list or forget request: a command, not an agent
  asio::local::stream_protocol::socket socket;
  asio::streambuf input;
  std::deque<std::string> output;
  std::size_t unsent = 0;  // bytes in output
};

AgentSocket::AgentSocket(asio::io_context& io, consent::Board& board, consent::Store& store, Finished finished,
                         AgentLimits limits)
    : io_(io),
      board_(board),
      store_(store),
      finished_(std::move(finished)),
      limits_(limits),
      acceptor_(io),
      timer_(io),
      retry_(io) {}

AgentSocket::~AgentSocket() {
  if (!path_.empty()) ::unlink(path_.c_str());
}

std::error_code AgentSocket::listen(const std::string& path) {
  if (someoneListens(path)) return std::make_error_code(std::errc::address_in_use);
  std::error_code error;
  ::unlink(path.c_str());
  const asio::local::stream_protocol::endpoint endpoint(path);
  acceptor_.open(endpoint.protocol(), error);
  // Every local user runs an agent of their own; who they are comes from the kernel, not the path.
  // The file takes the socket's own mode less the umask at bind: set on the socket, never by name
  // (a name could be swapped for a link between bind and a chmod).
  if (!error && ::fchmod(acceptor_.native_handle(), 0666) != 0) error = std::error_code(errno, std::generic_category());
  if (!error) {
    const mode_t umask = ::umask(0);
    acceptor_.bind(endpoint, error);
    ::umask(umask);
  }
  if (!error) acceptor_.listen(asio::socket_base::max_listen_connections, error);
  if (error) {
    acceptor_.close();
    return error;
  }
  path_ = path;
  accept();
  return {};
}

// An error here is the socket's close or one that lasts (no descriptors, no memory): accepting
// again at once would fail again at once, with a connection waiting in the backlog keeping the
// socket readable. It pauses instead and the retry timer starts it again.
void AgentSocket::accept() {
  std::shared_ptr<Agent> agent;
  try {
    agent = std::make_shared<Agent>(io_);
  } catch (const std::bad_alloc&) {
    return pauseAccepting();
  }
  acceptor_.async_accept(agent->socket, [this, agent](const std::error_code& error) {
    if (error == asio::error::operation_aborted || !acceptor_.is_open()) return;
    if (error) return pauseAccepting();
    try {
      admit(agent);
    } catch (const std::bad_alloc&) {
      drop(agent);
      return pauseAccepting();
    }
    accept();
  });
}

void AgentSocket::pauseAccepting() {
  retry_.expires_after(kAcceptRetry);
  retry_.async_wait([this](const std::error_code& error) {
    if (!error) accept();
  });
}

void AgentSocket::admit(const std::shared_ptr<Agent>& agent) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(agent->socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return;
  std::size_t sameUser = 0;
  for (const auto& [id, other] : agents_) sameUser += other->uid == credentials.uid ? 1 : 0;
  if (agents_.size() >= limits_.total || sameUser >= limits_.perUser) return;  // closed as `agent` goes
  agent->id = nextAgent_++;
  agent->uid = credentials.uid;
  agents_[agent->id] = agent;
  consent::Effects effects;
  board_.agentJoined(agent->id, agent->uid, consent::Clock::now(), effects);
  apply(effects);
  read(agent);
}

void AgentSocket::read(const std::shared_ptr<Agent>& agent) {
  asio::async_read_until(agent->socket, agent->input, '\n', [this, agent](const std::error_code& error, std::size_t n) {
    if (error) {  // also a line longer than kMaxLine
      drop(agent);
      return;
    }
    std::string line(asio::buffers_begin(agent->input.data()), asio::buffers_begin(agent->input.data()) + n - 1);
    agent->input.consume(n);
    try {
      onLine(agent, line);
    } catch (const std::exception&) {
      // Whatever one agent's line brings about (a store that cannot be written, memory) ends that
      // agent, never the daemon.
      drop(agent);
      return;
    }
    if (agent->socket.is_open()) read(agent);
  });
}

void AgentSocket::onLine(const std::shared_ptr<Agent>& agent, const std::string& line) {
  namespace protocol = consent::agent_line;
  const std::optional<protocol::Request> request = protocol::parseRequest(line);
  if (!request) {
    drop(agent);
    return;
  }
  if (const auto* answer = std::get_if<protocol::Answer>(&*request)) {
    consent::Effects effects;
    board_.answer(agent->id, answer->question, answer->allow, answer->remember, consent::Clock::now(), effects);
    apply(effects);
    return;
  }
  if (const auto* invalid = std::get_if<protocol::Invalid>(&*request)) {
    send(agent, protocol::format(protocol::Error{invalid->why}));
    return;
  }
  if (agent->asking) {  // a --list or --forget run: it is asked nothing
    agent->asking = false;
    consent::Effects effects;
    board_.agentWasCommand(agent->id, effects);
    apply(effects);
  }
  if (const auto* forget = std::get_if<protocol::Forget>(&*request)) {
    send(agent, protocol::format(protocol::Forgot{forget->origin, store_.forget(agent->uid, forget->origin)}));
    return;
  }
  const std::map<std::string, bool>& remembered = store_.list(agent->uid);
  send(agent, protocol::format(protocol::Remembered{{remembered.begin(), remembered.end()}}));
}

void AgentSocket::send(const std::shared_ptr<Agent>& agent, std::string line) {
  if (!agent->socket.is_open()) return;
  line += '\n';
  // An agent that does not read what it asked for would make the daemon keep it all.
  if (agent->unsent + line.size() > limits_.unsent) return drop(agent);
  agent->unsent += line.size();
  agent->output.push_back(std::move(line));
  // One write in flight: the first line queued starts it, each completion takes the next.
  if (agent->output.size() == 1) write(agent);
}

void AgentSocket::write(const std::shared_ptr<Agent>& agent) {
  asio::async_write(agent->socket, asio::buffer(agent->output.front()),
                    [this, agent](const std::error_code& error, std::size_t) {
                      if (error) return drop(agent);
                      agent->unsent -= agent->output.front().size();
                      agent->output.pop_front();
                      if (!agent->output.empty()) write(agent);
                    });
}

void AgentSocket::drop(const std::shared_ptr<Agent>& agent) {
  if (!agent->socket.is_open()) return;
  std::error_code ignored;
  agent->socket.close(ignored);
  agents_.erase(agent->id);
  consent::Effects effects;
  board_.agentLeft(agent->id, effects);
  apply(effects);
}

void AgentSocket::apply(consent::Effects& effects) {
  for (consent::Effects::Line& line : effects.lines) {
    const auto agent = agents_.find(line.agent);
    if (agent == agents_.end()) continue;
    send(agent->second, std::move(line.text));
  }
  for (const consent::Effects::Finish& finish : effects.finished) finished_(finish);
  armTimer();
}

void AgentSocket::armTimer() {
  const std::optional<consent::Clock::time_point> deadline = board_.nextDeadline();
  if (!deadline) {
    timer_.cancel();
    return;
  }
  timer_.expires_at(*deadline);
  timer_.async_wait([this](const std::error_code& error) {
    if (error) return;
    consent::Effects effects;
    board_.tick(consent::Clock::now(), effects);
    apply(effects);
  });
}
