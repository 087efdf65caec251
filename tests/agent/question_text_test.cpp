// SPDX-License-Identifier: MIT
// The question's words: the site's identifying part, internationalised names, the warnings and
// counts a person needs, and nothing a hostile origin could smuggle into the text.
#include "agent/question_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

namespace text = question_text;

TEST(QuestionText, TheHostIsShownWithTheNameThatIdentifiesTheSite) {
  const struct {
    std::string host;
    std::string shown;
    std::string ascii;
    std::string identifying;
  } cases[] = {
      {"bank.example.com", "bank.example.com", "", "example.com"},
      {"example.com", "example.com", "", "example.com"},
      // The public-suffix list: a country's second level and a hosting service's are suffixes.
      {"login.bank.co.uk", "login.bank.co.uk", "", "bank.co.uk"},
      {"someone.github.io", "someone.github.io", "", "someone.github.io"},
      {"www.a.very.long.name.of.many.labels.bank.example.com", "www.a.very.long.name.of.many.labels.bank.example.com",
       "", "example.com"},
      // Internationalised: Unicode shown, the xn-- form beside it, the identifying part in Unicode.
      {"xn--bcher-kva.example.com", "b\u00fccher.example.com", "xn--bcher-kva.example.com", "example.com"},
      {"www.xn--bcher-kva.de", "www.b\u00fccher.de", "www.xn--bcher-kva.de", "b\u00fccher.de"},
      {"xn--80ak6aa92e.com", "\u0430\u0440\u0440\u04cf\u0435.com", "xn--80ak6aa92e.com",
       "\u0430\u0440\u0440\u04cf\u0435.com"},  // Cyrillic letters that look like "apple": both forms shown
      // Not valid punycode, or a name no registry could issue: only the form sent.
      {"xn--.example.com", "xn--.example.com", "", "example.com"},
      {"xn--zz-zzzzzzzzzzzzzzzzzzzzzzzzzzzzz.com", "xn--zz-zzzzzzzzzzzzzzzzzzzzzzzzzzzzz.com", "",
       "xn--zz-zzzzzzzzzzzzzzzzzzzzzzzzzzzzz.com"},
      // No suffix to count from: the whole name.
      {"localhost", "localhost", "", "localhost"},
      {"intranet", "intranet", "", "intranet"},
      {"com", "com", "", "com"},
      {"192.168.1.20", "192.168.1.20", "", "192.168.1.20"},
      {"[fe80::1]", "[fe80::1]", "", "[fe80::1]"},
      // Control characters never reach the screen.
      {"evil\n.example.com", "evil?.example.com", "", "example.com"},
  };
  for (const auto& c : cases) {
    const text::Host host = text::describeHost(c.host);
    EXPECT_EQ(host.shown, c.shown) << c.host;
    EXPECT_EQ(host.ascii, c.ascii) << c.host;
    EXPECT_EQ(host.identifying, c.identifying) << c.host;
  }
}

TEST(QuestionText, ThisComputerIsTheLoopbackOnly) {
  for (const char* local : {"localhost", "LOCALHOST", "app.localhost", "127.0.0.1", "127.1.2.3", "[::1]"}) {
    EXPECT_TRUE(text::isThisComputer(local)) << local;
  }
  for (const char* remote : {"localhost.example.com", "127.0.0.1.example.com", "10.0.0.1", "[::2]", "mylocalhost"}) {
    EXPECT_FALSE(text::isThisComputer(remote)) << remote;
  }
}

TEST(QuestionText, TheBodySaysWhoAsksWhatTheSiteCouldDoAndHowToUndo) {
  const std::string does = "If allowed, it can try your PIN, read the token's serial number and compute with the token.\n";
  const std::string warning = "\u26a0 Not encrypted (http://): anyone on your network could pose as this site.\n";
  const std::string undo = "Undo \u201cAlways\u201d later with tokenbridge-agent --list and --forget.";
  const struct {
    std::string origin;
    int waiting;
    text::Style style;
    std::string body;
  } cases[] = {
      {"https://login.bank.example.com", 0, text::Style::Markup,
       "Site: <b>example.com</b>\nAddress: https://login.bank.<b>example.com</b>\n" + does +
           undo},
      {"https://login.bank.example.com", 0, text::Style::Plain,
       "Site: example.com\nAddress: https://login.bank.example.com\n" + does + undo},
      {"https://xn--bcher-kva.example.com:8443", 2, text::Style::Markup,
       "Site: <b>example.com</b>\nAddress: https://b\u00fccher.<b>example.com</b>:8443 (xn--bcher-kva.example.com)\n" +
           does + "2 other sites are waiting to ask.\n" + undo},
      {"http://shop.example.com", 0, text::Style::Markup,
       "Site: <b>example.com</b>\nAddress: http://shop.<b>example.com</b>\n<b>" + warning.substr(0, warning.size() - 1) +
           "</b>\n" + does + undo},
      {"http://shop.example.com", 1, text::Style::Plain,
       "Site: example.com\nAddress: http://shop.example.com\n" + warning + does + "1 other site is waiting to ask.\n" +
           undo},
      // This computer: no warning for http.
      {"http://localhost:8080", 0, text::Style::Plain,
       "Site: localhost\nAddress: http://localhost:8080\n" + does + undo},
      {"http://127.0.0.1:3000", 0, text::Style::Plain,
       "Site: 127.0.0.1\nAddress: http://127.0.0.1:3000\n" + does + undo},
      {"http://[::1]:3000", 0, text::Style::Plain,
       "Site: [::1]\nAddress: http://[::1]:3000\n" + does + undo},
      {"http://10.1.2.3", 0, text::Style::Plain, "Site: 10.1.2.3\nAddress: http://10.1.2.3\n" + warning + does +
                                                     undo},
      // What markup would read as tags is escaped; what cannot be read as an origin is shown whole.
      {"https://a&b<i>.example", 0, text::Style::Markup,
       "Site: <b>https://a&amp;b&lt;i&gt;.example</b>\n" + does + undo},
      {"null", 0, text::Style::Markup, "Site: <b>null</b>\n" + does + undo},
      {"https://x.example:80x", 0, text::Style::Plain, "Site: https://x.example:80x\n" + does + undo},
      // A line break in the origin cannot start a line of its own.
      {"https://x.example\nSite: bank.example", 0, text::Style::Plain,
       "Site: https://x.example?Site: bank.example\n" + does + undo},
  };
  for (const auto& c : cases) {
    const text::Text made = text::make(c.origin, c.waiting, c.style);
    EXPECT_EQ(made.title, "tokenbridge: may this site use your token?");
    EXPECT_EQ(made.body, c.body) << c.origin;
  }
}

}  // namespace
