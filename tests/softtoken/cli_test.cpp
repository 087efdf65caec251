// SPDX-License-Identifier: MIT
// The softtoken command, run as its own program: each subcommand's effect on the state file, and
// refusals with a message and a non-zero exit that leave the file as it was.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <set>

#include "tests/softtoken/token_fixture.h"
#include "tests/support/target_program.h"

namespace {

class CommandTest : public TokenTest {
 protected:
  CommandResult run(const std::string& arguments) const { return runCommand(arguments, directory_); }
};

TEST_F(CommandTest, InitWritesTheDefaultsAndANewEpoch) {
  std::remove(statePath().c_str());
  ASSERT_EQ(run("init").exit_, 0);
  softtoken::TokenState state = load();
  EXPECT_TRUE(state.present_);
  EXPECT_EQ(state.epoch_, 1u);
  EXPECT_EQ(state.device_, "KV5100RT VCR 1");
  EXPECT_EQ(state.serial_, "TB0123456789ABCDEF01");
  EXPECT_EQ(state.applications_, std::vector<std::string>{"TOKENBRIDGE"});
  EXPECT_EQ(state.user_.pin_, "12345678");
  EXPECT_EQ(state.user_.tries_, 6u);
  EXPECT_EQ(state.admin_.pin_, "admin12345");
  EXPECT_EQ(state.admin_.maximum_, 10u);
  // Over an existing token: a new epoch, so old handles die.
  ASSERT_EQ(run("init").exit_, 0);
  EXPECT_EQ(load().epoch_, 2u);
}

TEST_F(CommandTest, InitOptionsSetTheirMembers) {
  const std::string serial32(32, 'Z');
  ASSERT_EQ(run("init --serial " + serial32 + " --user-pin 1234567890123456 --admin-pin abcdef" +
                " --user-retries 3 --admin-retries 0x0F --app FIRST --app SECOND --device 'SOFT DEV 9' --absent")
                .exit_,
            0);
  const softtoken::TokenState state = load();
  EXPECT_EQ(state.serial_, serial32);
  EXPECT_EQ(state.user_.pin_, "1234567890123456");
  EXPECT_EQ(state.admin_.pin_, "abcdef");
  EXPECT_EQ(state.user_.tries_, 3u);
  EXPECT_EQ(state.user_.maximum_, 3u);
  EXPECT_EQ(state.admin_.tries_, 15u);
  EXPECT_EQ(state.applications_, (std::vector<std::string>{"FIRST", "SECOND"}));
  EXPECT_EQ(state.device_, "SOFT DEV 9");
  EXPECT_FALSE(state.present_);
}

TEST_F(CommandTest, PlugAndUnplugMoveThePresenceAndEpoch) {
  ASSERT_EQ(run("unplug").exit_, 0);
  EXPECT_FALSE(load().present_);
  EXPECT_EQ(load().epoch_, 1u);
  ASSERT_EQ(run("plug").exit_, 0);
  EXPECT_TRUE(load().present_);
  EXPECT_EQ(load().epoch_, 2u);
  // A token that is in already is not plugged again.
  ASSERT_EQ(run("plug").exit_, 0);
  EXPECT_EQ(load().epoch_, 2u);
}

struct FailCase {
  const char* name;
  std::string arguments;
  const char* function;
  ULONG code;
  bool once;
};

TEST_F(CommandTest, FailAcceptsEachSpellingOfFunctionAndCode) {
  const FailCase cases[] = {
      {"hex code", "SKF_VerifyPIN 0x0A000024", "SKF_VerifyPIN", SAR_PIN_INCORRECT, false},
      {"decimal code, once", "SKF_ConnectDev 167772193 --once", "SKF_ConnectDev", 0x0A000021, true},
      {"SAR_ name", "SKF_OpenApplication SAR_APPLICATION_NOT_EXISTS", "SKF_OpenApplication",
       SAR_APPLICATION_NOT_EXISTS, false},
      {"lower case, no prefix", "changepin sar_pin_locked --once", "SKF_ChangePIN", SAR_PIN_LOCKED, true},
      {"--once first", "--once SKF_EnumDev SAR_FAIL", "SKF_EnumDev", SAR_FAIL, true},
  };
  for (const FailCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(run("clear").exit_, 0);
    const CommandResult result = run("fail " + c.arguments);
    ASSERT_EQ(result.exit_, 0) << result.err_;
    const softtoken::TokenState state = load();
    ASSERT_EQ(state.faults_.size(), 1u);
    ASSERT_EQ(state.faults_.count(c.function), 1u);
    EXPECT_EQ(state.faults_.at(c.function).code_, c.code);
    EXPECT_EQ(state.faults_.at(c.function).once_, c.once);
  }
  ASSERT_EQ(run("fail SKF_GetDevInfo SAR_FAIL").exit_, 0);
  ASSERT_EQ(run("clear").exit_, 0);
  EXPECT_TRUE(load().faults_.empty());
}

TEST_F(CommandTest, CrashCommandSetsOnceOrEveryCallShowsItAndClearRemovesIt) {
  ASSERT_EQ(run("crash enumdev --once").exit_, 0);
  ASSERT_EQ(run("crash SKF_VerifyPIN").exit_, 0);
  EXPECT_EQ(load().crashes_, (std::map<std::string, bool>{{"SKF_EnumDev", true}, {"SKF_VerifyPIN", false}}));
  const std::string shown = run("show").out_;
  for (const char* line : {"crash:        SKF_EnumDev once\n", "crash:        SKF_VerifyPIN every call\n"}) {
    EXPECT_NE(shown.find(line), std::string::npos) << line << shown;
  }
  EXPECT_NE(run("show --json").out_.find("\"crashes\""), std::string::npos);
  ASSERT_EQ(run("clear").exit_, 0);
  EXPECT_TRUE(load().crashes_.empty());
}

TEST_F(CommandTest, FaultSetByTheCommandReachesTheLibrary) {
  ASSERT_EQ(run("fail SKF_EnumDev SAR_DEVICE_REMOVED --once").exit_, 0);
  ULONG size = 0;
  EXPECT_EQ(SKF_EnumDev(1, nullptr, &size), SAR_DEVICE_REMOVED);
  EXPECT_EQ(SKF_EnumDev(1, nullptr, &size), SAR_OK);
  ASSERT_EQ(run("unplug").exit_, 0);
  EXPECT_EQ(SKF_EnumDev(1, nullptr, &size), SAR_OK);
  EXPECT_EQ(size, 0u);
}

TEST_F(CommandTest, ShowSummarisesTriesLocksAndFaults) {
  edit([](softtoken::TokenState& s) {
    s.user_.tries_ = 0;
    s.admin_.tries_ = 4;
    s.present_ = false;
    s.faults_["SKF_VerifyPIN"] = softtoken::Fault{SAR_PIN_LOCKED, true};
  });
  const CommandResult result = run("show");
  ASSERT_EQ(result.exit_, 0) << result.err_;
  EXPECT_NE(result.out_.find("unplugged"), std::string::npos) << result.out_;
  EXPECT_NE(result.out_.find("0 of 6 tries left, LOCKED"), std::string::npos) << result.out_;
  EXPECT_NE(result.out_.find("4 of 10 tries left\n"), std::string::npos) << result.out_;
  EXPECT_NE(result.out_.find("SKF_VerifyPIN returns 0x0A000025 SAR_PIN_LOCKED once"), std::string::npos)
      << result.out_;
  EXPECT_NE(result.out_.find("TB0123456789ABCDEF01"), std::string::npos) << result.out_;

  const CommandResult json = run("show --json --reveal");
  ASSERT_EQ(json.exit_, 0);
  const std::optional<softtoken::TokenState> parsed = softtoken::parseState(json.out_);
  ASSERT_TRUE(parsed.has_value()) << json.out_;
  EXPECT_EQ(softtoken::formatState(*parsed), readFile(statePath()));
}

TEST_F(CommandTest, StateOptionOverridesTheEnvironment) {
  const std::string other = directory_ + "/other.json";
  ASSERT_EQ(run("--state " + other + " init --serial OTHER1").exit_, 0);
  ASSERT_EQ(run("unplug --state=" + other).exit_, 0);
  EXPECT_TRUE(load().present_);  // the environment's file is untouched
  EXPECT_EQ(load().serial_, "TB0123456789ABCDEF01");
  const std::optional<softtoken::TokenState> state = softtoken::parseState(readFile(other));
  ASSERT_TRUE(state.has_value());
  EXPECT_EQ(state->serial_, "OTHER1");
  EXPECT_FALSE(state->present_);
}

TEST_F(CommandTest, QuirksAreTurnedOnAndOffAndShown) {
  ASSERT_EQ(run("quirk unterminated-lists on").exit_, 0);
  ASSERT_EQ(run("quirk overstated-sizes on").exit_, 0);
  EXPECT_EQ(load().quirks_, (std::set<std::string>{"overstated-sizes", "unterminated-lists"}));
  EXPECT_NE(run("show").out_.find("quirk:        overstated-sizes\n"), std::string::npos);
  ASSERT_EQ(run("quirk unterminated-lists off").exit_, 0);
  ASSERT_EQ(run("quirk unterminated-lists off").exit_, 0);  // off twice is no error
  EXPECT_EQ(load().quirks_, std::set<std::string>{"overstated-sizes"});
  // A state file from before quirks existed still reads; an unknown quirk in the file does not.
  const std::string text = readFile(statePath());
  const std::size_t member = text.find("\"quirks\"");
  ASSERT_NE(member, std::string::npos) << text;
  std::string withoutQuirks = text;
  withoutQuirks.erase(text.rfind(',', member), text.find(']', member) + 1 - text.rfind(',', member));
  writeRaw(withoutQuirks);
  EXPECT_TRUE(load().quirks_.empty()) << withoutQuirks;
  std::string unknown = text;
  unknown.replace(unknown.find("overstated-sizes"), 16, "not-a-real-quirk");
  writeRaw(unknown);
  EXPECT_FALSE(softtoken::parseState(readFile(statePath())).has_value());
}

TEST_F(CommandTest, TimingCommandsSetDelaysStuckFunctionsAndCountsAndShowThem) {
  ASSERT_EQ(run("slow 20").exit_, 0);
  ASSERT_EQ(run("slow 5 enumdev").exit_, 0);
  ASSERT_EQ(run("stick SKF_VerifyPIN").exit_, 0);
  ASSERT_EQ(run("count EnumDev").exit_, 0);
  softtoken::TokenState state = load();
  EXPECT_EQ(state.delays_, (std::map<std::string, ULONG>{{"*", 20}, {"SKF_EnumDev", 5}}));
  EXPECT_EQ(state.stuck_, std::set<std::string>{"SKF_VerifyPIN"});
  EXPECT_EQ(state.calls_, (std::map<std::string, std::uint64_t>{{"SKF_EnumDev", 0}}));
  const std::string shown = run("show").out_;
  for (const char* line : {"slow:         * 20 ms\n", "slow:         SKF_EnumDev 5 ms\n", "stuck:        SKF_VerifyPIN\n",
                           "calls:        SKF_EnumDev 0\n"}) {
    EXPECT_NE(shown.find(line), std::string::npos) << line << shown;
  }
  ASSERT_EQ(run("slow 0").exit_, 0);
  ASSERT_EQ(run("release verifypin").exit_, 0);
  state = load();
  EXPECT_EQ(state.delays_, (std::map<std::string, ULONG>{{"SKF_EnumDev", 5}}));
  EXPECT_TRUE(state.stuck_.empty());
  // Timing members that break the rules make the file unreadable, like any other bad member.
  const std::string text = readFile(statePath());
  std::string tooSlow = text;
  tooSlow.replace(tooSlow.find("\"SKF_EnumDev\" : 5"), 18, "\"SKF_EnumDev\" : 60001");
  writeRaw(tooSlow);
  EXPECT_FALSE(softtoken::parseState(readFile(statePath())).has_value()) << tooSlow;
}

// PINs appear only when asked for, in either form of show.
TEST_F(CommandTest, ShowHidesPinsUnlessRevealed) {
  ASSERT_EQ(run("init --user-pin userpin77 --admin-pin adminpin88").exit_, 0);
  const struct {
    const char* arguments;
    bool revealed;
  } cases[] = {
      {"show", false},          {"show --json", false},          {"show --reveal", true},
      {"show --json --reveal", true}, {"show --reveal --json", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    const CommandResult result = run(c.arguments);
    ASSERT_EQ(result.exit_, 0) << result.err_;
    EXPECT_EQ(result.out_.find("userpin77") != std::string::npos, c.revealed) << result.out_;
    EXPECT_EQ(result.out_.find("adminpin88") != std::string::npos, c.revealed) << result.out_;
    // Everything else is still shown.
    EXPECT_NE(result.out_.find("TB0123456789ABCDEF01"), std::string::npos) << result.out_;
    EXPECT_NE(result.out_.find("tries"), std::string::npos) << result.out_;
  }
}

TEST_F(CommandTest, InitTakesPinsFromStandardInput) {
  const std::string input = directory_ + "/pins.txt";
  std::ofstream(input) << "frominput1\r\nadminfrominput\n";
  const CommandResult result = run("init --pins-from-stdin --user-retries 4 <" + input);
  ASSERT_EQ(result.exit_, 0) << result.err_;
  const softtoken::TokenState state = load();
  EXPECT_EQ(state.user_.pin_, "frominput1");
  EXPECT_EQ(state.admin_.pin_, "adminfrominput");
  EXPECT_EQ(state.user_.maximum_, 4u);
}

// A refused PIN is never repeated in the message: it may be a real one, mistyped.
TEST_F(CommandTest, RefusedPinsAreNotEchoed) {
  const struct {
    const char* name;
    std::string input;      // standard input, or empty for none
    std::string arguments;
    const char* message;    // part of what stderr must say
    const char* secret;     // what it must not say
  } cases[] = {
      {"short user PIN", "", "init --user-pin sec12", "--user-pin: a PIN has 6 to 16 characters, the one given has 5",
       "sec12"},
      {"long admin PIN", "", "init --admin-pin secret7890123456789", "the one given has 19", "secret7890123456789"},
      {"short PIN on stdin", "okpin123\nsec12\n", "init --pins-from-stdin", "line 2 (admin PIN)", "sec12"},
      {"one line on stdin", "secret999\n", "init --pins-from-stdin", "on one line and the admin PIN on the next",
       "secret999"},
      {"stdin and an option", "okpin123\nokpin456\n", "init --pins-from-stdin --user-pin secret999",
       "replaces --user-pin", "secret999"},
  };
  const std::string before = readFile(statePath());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string input = directory_ + "/input.txt";
    std::ofstream(input, std::ios::trunc) << c.input;
    const CommandResult result = run(c.arguments + " <" + input);
    EXPECT_EQ(result.exit_, 2);
    EXPECT_NE(result.err_.find(c.message), std::string::npos) << result.err_;
    EXPECT_EQ(result.err_.find(c.secret), std::string::npos) << result.err_;
    EXPECT_EQ(readFile(statePath()), before);
  }
}

struct BadArgumentsCase {
  const char* name;
  std::string arguments;
  int exit;
  const char* message;  // part of what stderr must say
};

TEST_F(CommandTest, BadArgumentsFailWithAMessageAndChangeNothing) {
  const BadArgumentsCase cases[] = {
      {"no command", "", 2, "no command given"},
      {"unknown command", "explode", 2, "unknown command 'explode'"},
      {"--state without a path", "show --state", 2, "--state needs a path"},
      {"retries not a number", "init --user-retries six", 2, "--user-retries: 'six' is not a number"},
      {"retries 0", "init --admin-retries 0", 2, "--admin-retries: '0' is not a number from 1 to 255"},
      {"retries trailing text", "init --user-retries 6x", 2, "'6x' is not a number"},
      {"serial of 33", "init --serial " + std::string(33, 'S'), 2, "--serial"},
      {"user PIN of 5", "init --user-pin 12345", 2, "--user-pin: a PIN has 6 to 16 characters"},
      {"admin PIN of 17", "init --admin-pin 12345678901234567", 2, "--admin-pin: a PIN has 6 to 16"},
      {"unknown init option", "init --colour blue", 2, "unknown option '--colour'"},
      {"option without value", "init --serial", 2, "--serial needs a value"},
      {"same app twice", "init --app A1 --app A1", 2, "'A1' is given twice"},
      {"unknown function", "fail SKF_Encrypt SAR_FAIL", 2, "'SKF_Encrypt' is not one of the ten"},
      {"bad code", "fail SKF_VerifyPIN SAR_NOPE", 2, "'SAR_NOPE' is neither"},
      {"code beyond 32 bits", "fail SKF_VerifyPIN 0x1FFFFFFFF", 2, "is neither"},
      {"code 0", "fail SKF_VerifyPIN 0", 2, "non-zero code"},
      {"fail without a code", "fail SKF_VerifyPIN", 2, "usage is 'fail FUNCTION CODE [--once]'"},
      {"plug with an argument", "plug now", 2, "plug takes no arguments"},
      {"show with a stray option", "show --yaml", 2, "unexpected argument '--yaml'"},
      {"unknown quirk", "quirk slow-replies on", 2, "'slow-replies' is not a quirk (unterminated-lists"},
      {"quirk neither on nor off", "quirk overstated-sizes yes", 2, "usage is 'quirk NAME on|off'"},
      {"delay not a number", "slow soon", 2, "slow: 'soon' is not a number of milliseconds from 0 to 60000"},
      {"delay over a minute", "slow 60001 SKF_EnumDev", 2, "from 0 to 60000"},
      {"slow of an unknown function", "slow 5 SKF_Encrypt", 2, "slow: 'SKF_Encrypt' is not one of the ten"},
      {"slow without a delay", "slow", 2, "usage is 'slow MS [FUNCTION]'"},
      {"stick without a function", "stick", 2, "usage is 'stick FUNCTION'"},
      {"stick of an unknown function", "stick SKF_Sign", 2, "stick: 'SKF_Sign' is not one of the ten"},
      {"count of two functions", "count SKF_EnumDev SKF_ConnectDev", 2, "usage is 'count FUNCTION'"},
      {"crash without a function", "crash --once", 2, "usage is 'crash FUNCTION [--once]'"},
      {"crash of an unknown function", "crash SKF_Sign", 2, "crash: 'SKF_Sign' is not one of the ten"},
  };
  const std::string before = readFile(statePath());
  for (const BadArgumentsCase& c : cases) {
    SCOPED_TRACE(c.name);
    const CommandResult result = run(c.arguments);
    EXPECT_EQ(result.exit_, c.exit);
    EXPECT_NE(result.err_.find(c.message), std::string::npos) << result.err_;
    EXPECT_EQ(readFile(statePath()), before);
  }
}

TEST_F(CommandTest, CommandsThatNeedAStateFileSayItIsMissing) {
  const char* commands[] = {"plug", "unplug", "show", "show --json", "clear", "fail SKF_EnumDev SAR_FAIL"};
  for (const char* command : commands) {
    SCOPED_TRACE(command);
    std::remove(statePath().c_str());
    const CommandResult missing = run(command);
    EXPECT_EQ(missing.exit_, 1);
    EXPECT_NE(missing.err_.find("no valid state file at " + statePath()), std::string::npos) << missing.err_;
    writeRaw("{ broken");
    EXPECT_EQ(run(command).exit_, 1);
    EXPECT_EQ(readFile(statePath()), "{ broken");
  }
}

TEST_F(CommandTest, AStateFileTheUserMayNotReadIsNamedAsAPermissionProblem) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the command as another user";
  ::chmod(statePath().c_str(), 0600);  // root's token, as the package makes it
  const std::string err = directory_ + "/nobody.err";
  const std::string line = "setpriv --reuid=65534 --regid=65534 --clear-groups " +
                           testsupport::targetShellCommand(SOFTTOKEN_COMMAND) + " --state " + statePath() +
                           " show >/dev/null 2>" + err;
  const int status = std::system(line.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_NE(readFile(err).find("cannot read the state file at " + statePath() + ": Permission denied"), std::string::npos)
      << readFile(err);
  EXPECT_EQ(readFile(err).find("run 'softtoken init'"), std::string::npos) << readFile(err);
}

}  // namespace
