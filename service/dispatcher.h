// SPDX-License-Identifier: MIT
// The request dispatcher: one JSON request per WebSocket data message, exactly one reply each.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "net/event.h"

class TokenProcess;
class UpgradeConsent;

// The service's one event handler. Acts only on complete data messages (event 113): parses the
// message, runs the command its "type" names, prints the two diagnostic lines and queues the reply
// as one text frame on the same connection; upgrade events go to the consent hooks when set. A
// command that calls into the token library goes to the token process when one is set: the
// connection is held (reads no further message) until that reply is queued; everything else is
// answered at once.
void ev_handler(net::Connection* connection, int event, void* event_data);

// The work of one message, without the socket: the reply text for the payload bytes.
// Also writes the diagnostic lines. Never throws.
std::string handleRequest(const unsigned char* payload, std::size_t size);

// Where the two diagnostic lines of every request go: the console, when the process has one.
// nullptr, the default, drops them without formatting them. Set once, before serving.
void setDiagnosticConsole(std::FILE* console);

// The token process ev_handler hands token commands to; nullptr, the default, runs them in the
// handler, in this process. Set once, before serving, on the loop's thread.
void setTokenProcess(TokenProcess* process);

// Where the upgrade requests of pages go for the person at the screen to decide; nullptr, the
// default, lets every upgrade the Origin list allows through. Set once, before serving.
void setUpgradeConsent(UpgradeConsent* consent);
