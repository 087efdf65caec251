// SPDX-License-Identifier: MIT
#include "service/upgrade_consent.h"

#include <sys/stat.h>

#include <new>
#include <optional>
#include <string>

#include "net/event.h"
#include "service/consent/peer_uid.h"

UpgradeConsent::UpgradeConsent(asio::io_context& io, const consent::Settings& rules, const std::string& directory,
                               bool originListed, consent::Store::Warn warn)
    : originListed_(originListed),
      store_(directory, std::move(warn)),
      board_(rules, store_),
      agents_(io, board_, store_, [this](const consent::Effects::Finish& done) { finish(done); }) {
  // Under systemd the unit's StateDirectory made it; started by hand, the first decision would
  // otherwise not be kept. An error shows when the store writes.
  if (!directory.empty()) ::mkdir(directory.c_str(), 0700);
}

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
      tickets_[connection] = ticket;  // held at the 101, which follows in this same call
      break;
  }
  agents_.apply(effects);
}

void UpgradeConsent::onUpgraded(net::Connection* connection) {
  const auto found = tickets_.find(connection);
  if (found == tickets_.end()) return;
  try {
    gate_.wait(found->second, net::hold(connection));
  } catch (const std::bad_alloc&) {
    // Not held, the page would be served undecided: it ends as unanswered instead, and what it
    // sends until it closes is dropped (ticket 0 stays on the connection, see undecided()).
    consent::Effects effects;
    board_.leave(found->second, consent::Clock::now(), effects);
    found->second = 0;
    agents_.apply(effects);
    net::closeWebSocket(connection, kCloseUnanswered, kUnansweredReason);
  }
}

bool UpgradeConsent::undecided(net::Connection* connection) const { return tickets_.count(connection) != 0; }

void UpgradeConsent::onClose(net::Connection* connection) {
  const auto found = tickets_.find(connection);
  if (found == tickets_.end()) return;
  const consent::TicketId ticket = found->second;
  tickets_.erase(found);
  consent::Effects effects;
  gate_.closed(ticket, board_, consent::Clock::now(), effects);
  agents_.apply(effects);
}

void UpgradeConsent::finish(const consent::Effects::Finish& done) {
  for (auto entry = tickets_.begin(); entry != tickets_.end(); ++entry) {
    if (entry->second != done.ticket) continue;
    tickets_.erase(entry);
    break;
  }
  gate_.finish(done);
}
