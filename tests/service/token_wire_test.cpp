// SPDX-License-Identifier: MIT
// The token process's messages: what goes in comes out, a message cut anywhere asks for more, and
// a stream that cannot be trusted is called malformed rather than read on.
#include "service/token_wire.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string encoded(const wire::Job& job) {
  std::string out;
  EXPECT_TRUE(wire::encode(job, out));
  return out;
}

std::string encoded(const wire::Answer& answer) {
  std::string out;
  EXPECT_TRUE(wire::encode(answer, out));
  return out;
}

TEST(TokenWire, JobsAndAnswersComeOutAsTheyWentInWhereverTheStreamIsCut) {
  const wire::Job jobs[] = {
      {1, 2, {}},
      {0xFFFFFFFF, 9, {"", "12345678", std::string(256, 'x'), std::string("a\0b", 3)}},
  };
  const wire::Answer answers[] = {{0, 0, "/usr/lib/x/libkv_5100rt.so"}, {7, -1, "-1099"}, {8, 1, ""}};
  for (const wire::Job& job : jobs) {
    const std::string bytes = encoded(job) + "tail";
    for (std::size_t cut = 0; cut < bytes.size() - 4; ++cut) {
      wire::Job into;
      std::size_t used = 0;
      ASSERT_EQ(wire::decode(std::string_view(bytes).substr(0, cut), &into, &used), wire::Status::incomplete) << cut;
    }
    wire::Job into;
    std::size_t used = 0;
    ASSERT_EQ(wire::decode(bytes, &into, &used), wire::Status::done);
    EXPECT_EQ(into, job);
    EXPECT_EQ(used, bytes.size() - 4);
  }
  for (const wire::Answer& answer : answers) {
    const std::string bytes = encoded(answer);
    wire::Answer into;
    std::size_t used = 0;
    ASSERT_EQ(wire::decode(bytes, &into, &used), wire::Status::done);
    EXPECT_EQ(into, answer);
    EXPECT_EQ(used, bytes.size());
  }
}

TEST(TokenWire, UntrustworthyStreamsAreMalformed) {
  const std::string job = encoded(wire::Job{5, 1, {"abc"}});
  const std::string answer = encoded(wire::Answer{5, 0, "1"});
  struct Case {
    const char* name;
    std::string bytes;
    bool asJob;
  };
  const Case cases[] = {
      {"zero length", std::string(4, '\0') + "J", true},
      {"length past the limit", std::string("\x01\x10\x00\x00J", 5), true},
      {"an answer where a job is read", answer, true},
      {"a job where an answer is read", job, false},
      {"argument longer than the body", job.substr(0, 11) + std::string("\xFF\x00", 2) + job.substr(13), true},
      {"bytes left over in the body", std::string("\x08\x00\x00\x00J\x01\x00\x00\x00\x01\x00\x00", 12), true},
      {"answer cut inside its data", std::string("\x0B\x00\x00\x00" "A\x01\x00\x00\x00\x00\x00\x00\x00\x05\x00", 15),
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::size_t used = 0;
    if (c.asJob) {
      wire::Job into;
      EXPECT_EQ(wire::decode(c.bytes, &into, &used), wire::Status::malformed);
    } else {
      wire::Answer into;
      EXPECT_EQ(wire::decode(c.bytes, &into, &used), wire::Status::malformed);
    }
  }
}

TEST(TokenWire, MessagesPastTheLimitsAreNotEncoded) {
  std::string out;
  EXPECT_FALSE(wire::encode(wire::Job{1, 1, {std::string(wire::kBodyMax, 'x')}}, out));
  EXPECT_FALSE(wire::encode(wire::Job{1, 1, std::vector<std::string>(256)}, out));
  EXPECT_FALSE(wire::encode(wire::Answer{1, 0, std::string(wire::kBodyMax, 'x')}, out));
  EXPECT_EQ(out, "");
}

}  // namespace
