// SPDX-License-Identifier: MIT
// The person at the screen decides about a page of an origin nobody listed: the daemon's side of
// the consent rules, on the loop. At the upgrade request it asks the board (refusing with the 403,
// or letting the 101 go); a connection that must wait is held from the 101 until its user's agent
// answers, then served or closed 4403/4408.
#pragma once

#include <string>
#include <system_error>

#include <asio.hpp>

#include "net/event.h"
#include "net/hold.h"
#include "service/consent/agent_socket.h"
#include "service/consent/background_writer.h"
#include "service/consent/board.h"
#include "service/consent/store.h"
#include "service/consent/gate.h"

class UpgradeConsent {
 public:
  // `originListed`: an allow-origin list is set, so every Origin that reaches the handler is on it
  // (the WebSocket layer refused the others). `warn` gets the store's lines for the operator.
  UpgradeConsent(asio::io_context& io, const consent::Settings& rules, const std::string& directory,
                 bool originListed, consent::Store::Warn warn);
  UpgradeConsent(const UpgradeConsent&) = delete;
  UpgradeConsent& operator=(const UpgradeConsent&) = delete;

  std::error_code listen(const std::string& agentSocket) { return agents_.listen(agentSocket); }

  // The handler's events of a page connection: the upgrade request, the 101, the close.
  void onEvent(net::Connection* connection, int event, void* data);
  // A connection whose decision is not made: its messages are not served. (A held one raises
  // none; this covers one whose hold could not be taken.)
  bool undecided(net::Connection* connection) const;

 private:
  void onUpgradeRequest(net::Connection* connection, net::UpgradeRequest& request);
  void onUpgraded(net::Connection* connection);
  void onClose(net::Connection* connection);
  void finish(const consent::Effects::Finish& finish);

  const bool originListed_;
  consent::BackgroundWriter writer_;  // the store's files, off the loop
  consent::Store store_;
  consent::Board board_;
  AgentSocket agents_;
  // Connections the board answered `wait` for, from the upgrade request until they finish or close.
  ConsentGate<net::Connection*, net::Hold> gate_;
};
