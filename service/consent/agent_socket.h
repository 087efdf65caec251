// SPDX-License-Identifier: MIT
// The socket the users' consent agents connect to: a Unix stream socket any local user may connect
// to, one JSON object per line each way, on the daemon's loop. The kernel names each agent's user
// (SO_PEERCRED). Connections beyond a few per user, or beyond a total, are closed at once, and an
// agent that lets its replies pile up is dropped. A lasting accept error (no descriptor left) pauses accepting for a moment. It carries the board's questions and withdrawals out, answers and the
// remembered-decision requests (list, forget) in, and runs the board's timeout.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <system_error>

#include <asio.hpp>

#include "service/consent/board.h"

// What one local user, or all of them, may hold of the daemon through the agent socket.
struct AgentLimits {
  std::size_t perUser = 4;            // connections of one uid (agents and --list/--forget runs)
  std::size_t total = 64;             // connections of all users
  std::size_t unsent = 64 * 1024;     // bytes queued for an agent that does not read; then it is dropped
};

class AgentSocket {
 public:
  using Finished = std::function<void(const consent::Effects::Finish&)>;

  // `finished` is called on the loop for every waiting page connection the board ends.
  AgentSocket(asio::io_context& io, consent::Board& board, consent::Store& store, Finished finished,
              AgentLimits limits = {});
  ~AgentSocket();
  AgentSocket(const AgentSocket&) = delete;
  AgentSocket& operator=(const AgentSocket&) = delete;

  // Replaces a stale socket file left by an earlier run (not one a running process accepts on:
  // address_in_use), binds, makes it connectable by every user.
  std::error_code listen(const std::string& path);

  // Carries out what the board returned to a caller on the loop: lines out, pages finished, the
  // timeout timer set for the next deadline.
  void apply(consent::Effects& effects);

 private:
  struct Agent;
  void accept();
  void pauseAccepting();
  void admit(const std::shared_ptr<Agent>& agent);
  void read(const std::shared_ptr<Agent>& agent);
  void onLine(const std::shared_ptr<Agent>& agent, const std::string& line);
  void send(const std::shared_ptr<Agent>& agent, std::string line);
  void write(const std::shared_ptr<Agent>& agent);
  void drop(const std::shared_ptr<Agent>& agent);
  void armTimer();

  asio::io_context& io_;
  consent::Board& board_;
  consent::Store& store_;
  Finished finished_;
  const AgentLimits limits_;
  asio::local::stream_protocol::acceptor acceptor_;
  asio::steady_timer timer_;
  asio::steady_timer retry_;  // accepting again after a lasting error
  std::map<consent::AgentId, std::shared_ptr<Agent>> agents_;
  consent::AgentId nextAgent_ = 1;
  std::string path_;
};
