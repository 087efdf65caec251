// SPDX-License-Identifier: MIT
// The words of the question, made from what the service sent: who asks, which site (its
// identifying part marked, an internationalised name in Unicode beside its xn-- form), what the
// site could do with the token, a warning for an unencrypted remote site, how many other sites
// wait, and how to undo an "Always" answer. Pure: the notification and the window both show it.
#pragma once

#include <string>
#include <string_view>

namespace question_text {

// Pango markup (bold marks the identifying part; what came from outside is escaped) or plain text
// for a notification server that shows the body as it is.
enum class Style { Plain, Markup };

struct Text {
  std::string title;  // one line: who asks, and what
  std::string body;   // lines separated by '\n'
};

Text make(std::string_view origin, int waiting, Style style);

// The parts make() is built from, tested on their own.
struct Host {
  std::string shown;        // Unicode where the name decodes, else as sent (control characters replaced)
  std::string ascii;        // as sent, when it differs from `shown`; else empty
  std::string identifying;  // the tail of `shown` that names the site (the registrable domain)
};
Host describeHost(std::string_view host);
// localhost, *.localhost, 127.0.0.0/8 and [::1]: a page there is on this computer.
bool isThisComputer(std::string_view host);

}  // namespace question_text
