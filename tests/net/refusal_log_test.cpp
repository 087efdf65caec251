// SPDX-License-Identifier: MIT
// The refusal summaries with the time passed in and a recording sink: at most one line per kind
// per minute, with the count since the last one and a refused request's Origin made harmless.
#include "net/refusal_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using net::Refusal;
using net::RefusalLog;

struct Recorded {
  RefusalLog log;
  std::vector<std::string> lines;
  std::vector<std::string> flush(std::int64_t now) {
    lines.clear();
    log.flush(now, [this](const std::string& line) { lines.push_back(line); });
    return lines;
  }
};

TEST(RefusalLog, OneLinePerKindPerMinuteWithCounts) {
  Recorded r;
  EXPECT_EQ(r.flush(100), std::vector<std::string>{});  // nothing counted, nothing said
  for (int i = 0; i < 3; ++i) r.log.note(Refusal::forbidden, "https://a.example");
  r.log.note(Refusal::tooManyConnections);
  EXPECT_EQ(r.flush(100), (std::vector<std::string>{
                              "refused upgrades (403, Origin not allowed): 3, last Origin \"https://a.example\"",
                              "connections closed at once: max-connections reached: 1"}));
  EXPECT_EQ(r.flush(101), std::vector<std::string>{});  // counted once only

  // Within the minute a kind already told waits; a kind not yet told goes out at once.
  for (int i = 0; i < 1000; ++i) r.log.note(Refusal::forbidden, i % 2 ? "" : "https://b.example");
  r.log.note(Refusal::pongTimeout);
  EXPECT_EQ(r.flush(101), std::vector<std::string>{"connections closed: pong-timeout (status 1008): 1"});
  for (std::int64_t now = 102; now < 160; ++now) EXPECT_EQ(r.flush(now), std::vector<std::string>{}) << now;
  EXPECT_EQ(r.flush(160), std::vector<std::string>{
                              "refused upgrades (403, Origin not allowed): 1000, the last without Origin"});
  r.log.note(Refusal::pongTimeout);
  EXPECT_EQ(r.flush(160), std::vector<std::string>{});  // its last line was at 101
  EXPECT_EQ(r.flush(161), std::vector<std::string>{"connections closed: pong-timeout (status 1008): 1"});
}

TEST(RefusalLog, EveryKindHasItsLine) {
  const struct {
    Refusal kind;
    const char* line;
  } cases[] = {
      {Refusal::forbidden, "refused upgrades (403, Origin not allowed): 1, last Origin \"http://x\""},
      {Refusal::upgradeRequired, "plain HTTP requests answered 426 (an Origin list is set): 1, last Origin \"http://x\""},
      {Refusal::notHttp, "connections closed: request head not HTTP: 1"},
      {Refusal::tooManyConnections, "connections closed at once: max-connections reached: 1"},
      {Refusal::handshakeTimeout, "connections closed: handshake-timeout: 1"},
      {Refusal::messageTimeout, "connections closed: message-timeout (status 1008): 1"},
      {Refusal::pongTimeout, "connections closed: pong-timeout (status 1008): 1"},
  };
  for (const auto& c : cases) {
    Recorded r;
    r.log.note(c.kind, "http://x");
    EXPECT_EQ(r.flush(0), std::vector<std::string>{c.line});
  }
}

// A page chooses its Origin bytes only within what a browser sends, but a program sends anything:
// nothing of it may break the line, forge another one or grow it without bound.
TEST(RefusalLog, OriginIsSanitisedAndBounded) {
  const struct {
    const char* name;
    std::string origin;
    std::string logged;
  } cases[] = {
      {"plain", "https://a.example:8443", "https://a.example:8443"},
      {"newline forging a line", "http://a\nfake: line", "http://a\\x0Afake: line"},
      {"quote and backslash", "http://\"a\\", "http://\\x22a\\x5C"},
      {"bytes above ASCII", "http://\xC3\xA9\x7F", "http://\\xC3\\xA9\\x7F"},
      {"NUL", std::string("a\0b", 3), "a\\x00b"},
      {"at the bound", std::string(RefusalLog::kOriginBytes, 'o'), std::string(RefusalLog::kOriginBytes, 'o')},
      {"past the bound", std::string(10000, 'o'), std::string(RefusalLog::kOriginBytes, 'o') + "..."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(net::sanitisedOrigin(c.origin), c.logged);
    Recorded r;
    r.log.note(Refusal::upgradeRequired, c.origin);
    const std::vector<std::string> lines = r.flush(0);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("\"" + c.logged + "\""), std::string::npos) << lines[0];
  }
}

}  // namespace
