// SPDX-License-Identifier: MIT
#include "service/consent/upgrade_consent.h"


#include <new>
#include <optional>
#include <string>

#include "net/event.h"
#include "service/consent/peer_uid.h"

UpgradeConsent::UpgradeConsent(asio::io_context& io, const consent::Settings& rules, const std::string& directory,
                               bool originListed, consent::Store::Warn warn)
    : originListed_(originListed),
      writer_(warn),
      store_(directory, warn, [this](const std::string& path, std::string text) { writer_.write(path, std::move(text)); }),
      board_(rules, store_),
      agents_(io, board_, store_, [this](const consent::Effects::Finish& done) { finish(done); }) {}

void UpgradeConsent::onEvent(net::Connection* connection, int event, void* data) {
  switch (event) {
    case net::EV_WEBSOCKET_HANDSHAKE_REQUEST:
      onUpgradeRequest(connection, *static_cast<net::UpgradeRequest*>(data));
      break;
    case net::EV_WEBSOCKET_HANDSHAKE_DONE:
      onUpgraded(connection);
      break;
    case net::EV_CLOSE:
      onClose(connection);
      break;
    default:
      break;
  }
}

void UpgradeConsent::onUpgradeRequest(net::Connection* connection, net::UpgradeRequest& request) {
  const std::string origin(request.origin);
  // Only a page of an origin nobody listed needs its user: look the user up for that one alone.
  std::optional<uid_t> uid;
  if (!origin.empty() && !originListed_) uid = consent::peerUid(request.peer, request.local);
  consent::TicketId ticket = 0;
  consent::Effects effects;
  switch (board_.admit(origin, originListed_, uid, consent::Clock::now(), ticket, effects)) {
    case consent::Admission::serve:
      break;
    case consent::Admission::refuse:
      request.refuse = true;
      break;
    case consent::Admission::wait:
      gate_.admitted(connection, ticket);  // held at the 101, which follows in this same call
      break;
    case consent::Admission::blocked:
      gate_.decided(connection, consent::Outcome::blocked);
      break;
    case consent::Admission::unanswered:
      gate_.decided(connection, consent::Outcome::timedOut);
      break;
    case consent::Admission::busy:
      gate_.decided(connection, consent::Outcome::busy);
      break;
  }
  agents_.apply(effects);
}

void UpgradeConsent::onUpgraded(net::Connection* connection) {
  if (!gate_.undecided(connection)) return;
  try {
    gate_.hold(connection, net::hold(connection));
  } catch (const std::bad_alloc&) {
    // Not held, the page would be served undecided: it ends as unanswered instead, and what it
    // sends until it closes is dropped (see undecided()).
    consent::Effects effects;
    gate_.abandon(connection, board_, consent::Clock::now(), effects);
    agents_.apply(effects);
    net::closeWebSocket(connection, kCloseUnanswered, kUnansweredReason);
  }
}

bool UpgradeConsent::undecided(net::Connection* connection) const { return gate_.undecided(connection); }

void UpgradeConsent::onClose(net::Connection* connection) {
  consent::Effects effects;
  if (gate_.closed(connection, board_, consent::Clock::now(), effects)) agents_.apply(effects);
}

void UpgradeConsent::finish(const consent::Effects::Finish& done) { gate_.finish(done); }
