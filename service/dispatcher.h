// SPDX-License-Identifier: MIT
// The request dispatcher: one JSON request per WebSocket data message, exactly one reply each.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "net/event.h"

class TokenThread;
class UpgradeConsent;

// The service's one event handler. Acts only on complete data messages (event 113): parses the
// message, runs the command its "type" names, prints the two diagnostic lines and queues the reply
// as one text frame on the same connection. Every other event is ignored. A command that calls
// into the token library runs on the token thread when one is set: the connection is held (reads
// no further message) until that reply is queued; everything else is answered at once.
void ev_handler(net::Connection* connection, int event, void* event_data);

// The work of one message, without the socket: the reply text for the payload bytes.
// Also writes the diagnostic lines. Never throws.
std::string handleRequest(const unsigned char* payload, std::size_t size);

// Where the two diagnostic lines of every request go: the console, when the process has one.
// nullptr, the default, drops them without formatting them. Set once, before serving.
void setDiagnosticConsole(std::FILE* console);

// The thread ev_handler hands token commands to; nullptr, the default, runs them in the handler.
// Set once, before serving.
void setTokenThread(TokenThread* thread);

// Where the upgrade requests of pages go for the person at the screen to decide; nullptr, the
// default, lets every upgrade the Origin list allows through. Set once, before serving.
void setUpgradeConsent(UpgradeConsent* consent);
