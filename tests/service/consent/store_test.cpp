// SPDX-License-Identifier: MIT
// Remembered decisions: the file format read whole or not at all, and the files on disk (one per
// user, 0600, replaced atomically, a bad one ignored and never half-trusted).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include "service/consent/background_writer.h"
#include "service/consent/store.h"

namespace {

namespace fs = std::filesystem;

TEST(ConsentFile, EachTextIsReadWholeOrNotAtAll) {
  struct Case {
    const char* name;
    std::string text;
    const char* expected;  // "origin=allow|block ..." or "bad"
  };
  const Case cases[] = {
      {"empty file", "", ""},
      {"both kinds", "allow https://a.example\nblock http://b.example:8080\n", "http://b.example:8080=block https://a.example=allow"},
      {"last line cut off", "allow https://a.example\nblock https://b.exa", "bad"},
      {"unknown word", "allow https://a.example\nmaybe https://b.example\n", "bad"},
      {"no origin", "allow\n", "bad"},
      {"blank inside the origin", "allow https://a.example x\n", "bad"},
      {"empty origin", "allow \n", "bad"},
      {"same origin twice", "allow https://a.example\nblock https://a.example\n", "bad"},
      {"carriage return", "allow https://a.example\r\n", "bad"},
      {"nul byte", std::string("allow https://a\0.example\n", 25), "bad"},
      {"byte outside ASCII", "allow https://caf\xc3\xa9.example\n", "bad"},
      {"origin of 257 bytes", "allow https://" + std::string(249, 'a') + "\n", "bad"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    const auto parsed = consent::parseDecisions(test.text);
    std::string said = "bad";
    if (parsed) {
      said.clear();
      for (const auto& [origin, allow] : *parsed) said += (said.empty() ? "" : " ") + origin + (allow ? "=allow" : "=block");
      EXPECT_EQ(consent::parseDecisions(consent::formatDecisions(*parsed)), parsed);
    }
    EXPECT_EQ(said, test.expected);
  }
}

class ConsentStore : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = fs::temp_directory_path() / ("consent_store_" + std::to_string(::getpid()));
    fs::remove_all(directory_);
    fs::create_directories(directory_);
  }
  void TearDown() override { fs::remove_all(directory_); }

  std::string read(const std::string& name) {
    std::ifstream in(directory_ / name);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  fs::path directory_;
};

TEST_F(ConsentStore, DecisionsLiveInOnePrivateFilePerUserAndSurviveARestart) {
  {
    consent::Store store(directory_);
    EXPECT_TRUE(store.remember(1000, "https://a.example", true));
    EXPECT_TRUE(store.remember(1000, "https://b.example", false));
    EXPECT_TRUE(store.remember(1001, "https://a.example", false));
    EXPECT_FALSE(store.remember(1000, "https://bad example", true));
  }
  EXPECT_EQ(read("1000"), "allow https://a.example\nblock https://b.example\n");
  EXPECT_EQ(read("1001"), "block https://a.example\n");
  EXPECT_EQ(fs::status(directory_ / "1000").permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(std::distance(fs::directory_iterator(directory_), fs::directory_iterator()), 2) << "no temporary left";

  consent::Store again(directory_);
  EXPECT_EQ(again.lookup(1000, "https://a.example"), true);
  EXPECT_EQ(again.lookup(1000, "https://b.example"), false);
  EXPECT_EQ(again.lookup(1001, "https://a.example"), false);
  EXPECT_EQ(again.lookup(1002, "https://a.example"), std::nullopt);
  EXPECT_EQ(again.lookup(1000, "https://a.example:443"), std::nullopt) << "exact origins only";
  EXPECT_TRUE(again.forget(1000, "https://a.example"));
  EXPECT_FALSE(again.forget(1000, "https://a.example"));
  EXPECT_EQ(read("1000"), "block https://b.example\n");
}

TEST_F(ConsentStore, ABadFileIsIgnoredWholeAndReplacedByTheNextDecision) {
  std::ofstream(directory_ / "1000") << "allow https://a.example\nallow https://half";
  std::vector<std::string> warnings;
  consent::Store store(directory_, [&](const std::string& line) { warnings.push_back(line); });
  EXPECT_EQ(store.lookup(1000, "https://a.example"), std::nullopt);
  EXPECT_TRUE(store.list(1000).empty());
  EXPECT_EQ(store.lookup(1000, "https://half"), std::nullopt);
  ASSERT_EQ(warnings.size(), 1u) << "one line, however often the user is looked up";
  EXPECT_EQ(warnings[0], "consent: ignoring " + (directory_ / "1000").string() + ": not a valid decisions file");
  EXPECT_TRUE(store.remember(1000, "https://c.example", false));
  EXPECT_EQ(read("1000"), "block https://c.example\n");
}

TEST_F(ConsentStore, AnUnwritableDirectoryKeepsTheDecisionForThisRunAndSaysSo) {
  std::vector<std::string> warnings;
  consent::Store store((directory_ / "missing").string(), [&](const std::string& line) { warnings.push_back(line); });
  EXPECT_FALSE(store.remember(1000, "https://a.example", true));
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].rfind("consent: cannot write " + (directory_ / "missing").string() + "/1000: ", 0), 0u) << warnings[0];
  EXPECT_EQ(store.lookup(1000, "https://a.example"), true);
}

TEST_F(ConsentStore, TheUsersWhoRanAnAgentSurviveARestartAndABadListIsIgnored) {
  {
    consent::Store store(directory_);
    store.noteAgent(1000, true);
    store.noteAgent(1001, true);
    store.noteAgent(1001, false);
    store.noteAgent(4000000000u, true);
  }
  EXPECT_EQ(read("agents"), "1000\n4000000000\n");
  EXPECT_EQ(fs::status(directory_ / "agents").permissions(), fs::perms::owner_read | fs::perms::owner_write);
  consent::Store again(directory_);
  EXPECT_TRUE(again.ranAgent(1000));
  EXPECT_FALSE(again.ranAgent(1001));
  EXPECT_TRUE(again.ranAgent(4000000000u));

  for (const char* bad : {"1000", "x\n", "\n", "-1\n", "99999999999\n", "1000 \n"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(consent::parseAgentUsers(bad), std::nullopt);
  }
  std::ofstream(directory_ / "agents") << "1000\n10";
  std::vector<std::string> warnings;
  consent::Store cut(directory_, [&](const std::string& line) { warnings.push_back(line); });
  EXPECT_FALSE(cut.ranAgent(1000));
  EXPECT_EQ(warnings, std::vector<std::string>{"consent: ignoring " + (directory_ / "agents").string() + ": not a list of uids"});
}

TEST_F(ConsentStore, AUserKeepsAtMostSoManyDecisionsTheOldestGoes) {
  const auto origin = [](std::size_t i) { return "https://" + std::to_string(i) + ".example"; };
  {
    consent::Store store(directory_);
    for (std::size_t i = 0; i < consent::kMaxRemembered; ++i) EXPECT_TRUE(store.remember(1000, origin(i), true));
    EXPECT_TRUE(store.remember(1000, origin(0), false));  // decided again: the newest now
    EXPECT_TRUE(store.remember(1000, origin(consent::kMaxRemembered), true));
    EXPECT_EQ(store.list(1000).size(), consent::kMaxRemembered);
    EXPECT_EQ(store.lookup(1000, origin(1)), std::nullopt) << "the oldest went";
  }
  const std::string text = read("1000");
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), static_cast<long>(consent::kMaxRemembered));
  EXPECT_EQ(text.rfind("allow " + origin(2) + "\n", 0), 0u) << "oldest first";
  consent::Store again(directory_);
  EXPECT_EQ(again.lookup(1000, origin(0)), false);
  EXPECT_EQ(again.lookup(1000, origin(consent::kMaxRemembered)), true);
  EXPECT_EQ(again.lookup(1000, origin(1)), std::nullopt);
}

TEST_F(ConsentStore, TheBackgroundWriterWritesTheNewestTextAndSaysWhatItCannotWrite) {
  std::vector<std::string> warnings;
  std::mutex mutex;
  {
    consent::BackgroundWriter writer([&](const std::string& line) {
      const std::lock_guard lock(mutex);
      warnings.push_back(line);
    });
    consent::Store store(directory_, {}, [&](const std::string& path, std::string text) { writer.write(path, std::move(text)); });
    for (int i = 0; i < 50; ++i) EXPECT_TRUE(store.remember(1000, "https://" + std::to_string(i) + ".example", i % 2 == 0));
    EXPECT_TRUE(store.forget(1000, "https://0.example"));
    writer.write((directory_ / "missing" / "1001").string(), "allow https://a.example\n");
  }  // the writer's end waits for what is still to write
  const auto parsed = consent::parseDecisions(read("1000"));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->size(), 49u);
  EXPECT_EQ(parsed->count("https://0.example"), 0u);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0], "consent: cannot write " + (directory_ / "missing" / "1001").string() + ": No such file or directory");
}

}  // namespace
