// SPDX-License-Identifier: MIT
// Each subcommand is one locked read-modify-write of the state file (or one locked read for
// "show"), so the command and a running daemon never lose each other's changes.
#include "softtoken/cli_commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <istream>
#include <ostream>
#include <string>

#include "softtoken/cli_args.h"
#include "softtoken/sar_codes.h"
#include "softtoken/state_file.h"

namespace softtoken {

namespace {

constexpr const char* kUsage =
    "usage: softtoken [--state PATH] COMMAND\n"
    "  init [--serial S] [--user-pin P] [--admin-pin P] [--user-retries N] [--admin-retries N]\n"
    "       [--app NAME]... [--device NAME] [--absent]   write a fresh token\n"
    "       [--pins-from-stdin]                          user PIN, then admin PIN, as two lines of input\n"
    "  plug | unplug                                     insert or pull the token\n"
    "  show [--json] [--reveal]                          print the token's state (PINs with --reveal)\n"
    "  fail FUNCTION CODE [--once]                       make an SKF function return CODE\n"
    "  clear                                             remove every fault\n"
    "  quirk NAME on|off                                 imitate a faulty library (see README)\n"
    "  slow MS [FUNCTION]                                each call (to FUNCTION) takes MS more (0: no delay)\n"
    "  stick FUNCTION | release FUNCTION                 calls to FUNCTION wait until released\n"
    "  count FUNCTION                                    count calls to FUNCTION from 0 (show prints them)\n"
    "  crash FUNCTION [--once]                           a call to FUNCTION ends its process with SIGSEGV\n"
    "The state file is PATH, else $SOFTTOKEN_STATE, else /var/lib/softtoken/state.json.\n";

// Why no state could be had from the file: a permission problem is named as one, not taken for a
// missing token.
std::string whyNoState(const std::string& path) {
  if (::access(path.c_str(), R_OK) != 0 && errno != ENOENT) {
    return "cannot read the state file at " + path + ": " + std::strerror(errno) +
           " (run softtoken as a user who may, or name another file with --state)";
  }
  return "no valid state file at " + path + " (run 'softtoken init')";
}

struct Context {
  const StateFile& file_;
  const std::vector<std::string>& rest_;
  std::istream& in_;
  std::ostream& out_;
  std::ostream& err_;
};

int usageError(std::ostream& err, const std::string& message) {
  err << "softtoken: " << message << "\n" << kUsage;
  return kExitUsage;
}

int noArguments(const Context& c, const char* command) {
  return usageError(c.err_, std::string(command) + " takes no arguments, got '" + c.rest_.front() + "'");
}

// Applies change to an existing state and writes it; a missing or unreadable state is an error.
int changeExisting(const Context& c, const std::function<void(TokenState&)>& change) {
  bool found = true;
  std::string error;
  const bool written = c.file_.update(
      [&](std::optional<TokenState>& state) {
        found = state.has_value();
        if (found) change(*state);
        return found;
      },
      &error);
  if (!found) {
    c.err_ << "softtoken: " << whyNoState(c.file_.path()) << "\n";
    return kExitState;
  }
  if (!written) {
    c.err_ << "softtoken: " << error << "\n";
    return kExitState;
  }
  return kExitOk;
}

// The directory the state lives in, made if missing (one level, as a package's /var/lib entry),
// owner only whatever the umask. A directory that exists already is left as it is.
void makeParentDirectory(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return;
  const std::string directory = path.substr(0, slash);
  if (::mkdir(directory.c_str(), 0700) == 0) ::chmod(directory.c_str(), 0700);
}

int init(const Context& c) {
  std::string error;
  std::optional<TokenState> fresh = parseInit(c.rest_, c.in_, &error);
  if (!fresh) return usageError(c.err_, error);
  makeParentDirectory(c.file_.path());
  const bool written = c.file_.update(
      [&](std::optional<TokenState>& state) {
        // A new epoch, so handles to the token this one replaces are dead.
        fresh->epoch_ = state ? state->epoch_ + 1 : 1;
        state = fresh;
        return true;
      },
      &error);
  if (!written) {
    c.err_ << "softtoken: " << error << "\n";
    return kExitState;
  }
  return kExitOk;
}

int plug(const Context& c) {
  if (!c.rest_.empty()) return noArguments(c, "plug");
  return changeExisting(c, [](TokenState& state) {
    // Plugging a token that is in already changes nothing; only a new insertion is a new epoch.
    if (!state.present_) ++state.epoch_;
    state.present_ = true;
  });
}

int unplug(const Context& c) {
  if (!c.rest_.empty()) return noArguments(c, "unplug");
  return changeExisting(c, [](TokenState& state) { state.present_ = false; });
}

int failCommand(const Context& c) {
  std::string error;
  const std::optional<FaultRequest> request = parseFail(c.rest_, &error);
  if (!request) return usageError(c.err_, error);
  return changeExisting(c, [&](TokenState& state) { state.faults_[request->function_] = request->fault_; });
}

int clear(const Context& c) {
  if (!c.rest_.empty()) return noArguments(c, "clear");
  return changeExisting(c, [](TokenState& state) {
    state.faults_.clear();
    state.crashes_.clear();
  });
}

int crash(const Context& c) {
  std::string error;
  const std::optional<CrashRequest> request = parseCrash(c.rest_, &error);
  if (!request) return usageError(c.err_, error);
  return changeExisting(c, [&](TokenState& state) { state.crashes_[request->function_] = request->once_; });
}

int quirk(const Context& c) {
  std::string error;
  const std::optional<QuirkRequest> request = parseQuirk(c.rest_, &error);
  if (!request) return usageError(c.err_, error);
  return changeExisting(c, [&](TokenState& state) {
    if (request->on_) {
      state.quirks_.insert(request->name_);
    } else {
      state.quirks_.erase(request->name_);
    }
  });
}

// slow, stick, release and count: the timing members of the state.
int timing(const Context& c, const std::string& command) {
  std::string error;
  const std::optional<TimingRequest> request = parseTiming(command, c.rest_, &error);
  if (!request) return usageError(c.err_, error);
  return changeExisting(c, [&](TokenState& state) {
    if (command == "slow" && request->delayMs_ == 0) state.delays_.erase(request->function_);
    if (command == "slow" && request->delayMs_ != 0) state.delays_[request->function_] = request->delayMs_;
    if (command == "stick") state.stuck_.insert(request->function_);
    if (command == "release") state.stuck_.erase(request->function_);
    if (command == "count") state.calls_[request->function_] = 0;
  });
}

int slow(const Context& c) { return timing(c, "slow"); }
int stick(const Context& c) { return timing(c, "stick"); }
int release(const Context& c) { return timing(c, "release"); }
int count(const Context& c) { return timing(c, "count"); }

void showPin(std::ostream& out, const char* label, const PinState& pin, bool reveal) {
  out << label << (reveal ? pin.pin_ : "(hidden, --reveal shows it)") << ", " << pin.tries_ << " of "
      << pin.maximum_ << " tries left" << (pin.tries_ == 0 ? ", LOCKED" : "") << "\n";
}

// The file's JSON; without reveal the two "pin" members are left out (not masked: a mask could be
// read back as a PIN), so the text is for reading, not for writing back as a state.
std::string stateJson(const TokenState& state, bool reveal) {
  if (reveal) return formatState(state);
  Json::Value value = toJson(state);
  value["user"].removeMember("pin");
  value["admin"].removeMember("pin");
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  return Json::writeString(builder, value) + "\n";
}

int show(const Context& c) {
  bool json = false;
  bool reveal = false;
  for (const std::string& option : c.rest_) {
    if (option == "--json") {
      json = true;
    } else if (option == "--reveal") {
      reveal = true;
    } else {
      return usageError(c.err_, "show: unexpected argument '" + option + "'");
    }
  }
  const std::optional<TokenState> state = c.file_.load();
  if (!state) {
    c.err_ << "softtoken: " << whyNoState(c.file_.path()) << "\n";
    return kExitState;
  }
  if (json) {
    c.out_ << stateJson(*state, reveal);
    return kExitOk;
  }
  c.out_ << "state file:   " << c.file_.path() << "\n"
         << "token:        " << (state->present_ ? "plugged in" : "unplugged") << " (plug epoch " << state->epoch_
         << ")\n"
         << "device:       " << state->device_ << "\n"
         << "serial:       " << state->serial_ << "\n"
         << "applications:";
  for (const std::string& app : state->applications_) c.out_ << " " << app;
  c.out_ << "\n";
  showPin(c.out_, "user PIN:     ", state->user_, reveal);
  showPin(c.out_, "admin PIN:    ", state->admin_, reveal);
  if (state->faults_.empty()) c.out_ << "faults:       none\n";
  for (const auto& [function, fault] : state->faults_) {
    c.out_ << "fault:        " << function << " returns " << describeSar(fault.code_)
           << (fault.once_ ? " once" : " until cleared") << "\n";
  }
  for (const std::string& name : state->quirks_) c.out_ << "quirk:        " << name << "\n";
  for (const auto& [function, ms] : state->delays_) c.out_ << "slow:         " << function << " " << ms << " ms\n";
  for (const std::string& function : state->stuck_) c.out_ << "stuck:        " << function << "\n";
  for (const auto& [function, n] : state->calls_) c.out_ << "calls:        " << function << " " << n << "\n";
  for (const auto& [function, once] : state->crashes_) {
    c.out_ << "crash:        " << function << (once ? " once" : " every call") << "\n";
  }
  return kExitOk;
}

struct Subcommand {
  const char* name;
  int (*run)(const Context&);
};

// The first row whose name matches the command runs.
constexpr Subcommand kSubcommands[] = {
    {.name = "init", .run = init},         {.name = "plug", .run = plug},
    {.name = "unplug", .run = unplug},     {.name = "show", .run = show},
    {.name = "fail", .run = failCommand},  {.name = "clear", .run = clear},
    {.name = "quirk", .run = quirk},       {.name = "slow", .run = slow},
    {.name = "stick", .run = stick},       {.name = "release", .run = release},
    {.name = "count", .run = count},       {.name = "crash", .run = crash},
};

}  // namespace

int runSofttoken(const std::vector<std::string>& words, std::istream& in, std::ostream& out, std::ostream& err) {
  std::string error;
  const std::optional<Arguments> args = splitArguments(words, &error);
  if (!args) return usageError(err, error);
  if (args->command_ == "help" || args->command_ == "--help" || args->command_ == "-h") {
    out << kUsage;
    return kExitOk;
  }
  const StateFile file(statePath(args->statePath_));
  const Context context{file, args->rest_, in, out, err};
  for (const Subcommand& sub : kSubcommands) {
    if (args->command_ == sub.name) return sub.run(context);
  }
  return usageError(err, "unknown command '" + args->command_ + "'");
}

}  // namespace softtoken
