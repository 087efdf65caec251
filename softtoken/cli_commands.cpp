// SPDX-License-Identifier: MIT
// Each subcommand is one locked read-modify-write of the state file (or one locked read for
// "show"), so the command and a running daemon never lose each other's changes.
#include "softtoken/cli_commands.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <ostream>

#include "softtoken/cli_args.h"
#include "softtoken/sar_codes.h"
#include "softtoken/state_file.h"

namespace softtoken {

namespace {

constexpr const char* kUsage =
    "usage: softtoken [--state PATH] COMMAND\n"
    "  init [--serial S] [--user-pin P] [--admin-pin P] [--user-retries N] [--admin-retries N]\n"
    "       [--app NAME]... [--device NAME] [--absent]   write a fresh token\n"
    "  plug | unplug                                     insert or pull the token\n"
    "  show [--json]                                     print the token's state\n"
    "  fail FUNCTION CODE [--once]                       make an SKF function return CODE\n"
    "  clear                                             remove every fault\n"
    "The state file is PATH, else $SOFTTOKEN_STATE, else /var/lib/softtoken/state.json.\n";

struct Context {
  const StateFile& file_;
  const std::vector<std::string>& rest_;
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
    c.err_ << "softtoken: no valid state file at " << c.file_.path() << " (run 'softtoken init')\n";
    return kExitState;
  }
  if (!written) {
    c.err_ << "softtoken: " << error << "\n";
    return kExitState;
  }
  return kExitOk;
}

// The directory the state lives in, made if missing (one level, as a package's /var/lib entry).
void makeParentDirectory(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash != 0) ::mkdir(path.substr(0, slash).c_str(), 0755);
}

int init(const Context& c) {
  std::string error;
  std::optional<TokenState> fresh = parseInit(c.rest_, &error);
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
  return changeExisting(c, [](TokenState& state) { state.faults_.clear(); });
}

void showPin(std::ostream& out, const char* label, const PinState& pin) {
  out << label << pin.pin_ << ", " << pin.tries_ << " of " << pin.maximum_ << " tries left"
      << (pin.tries_ == 0 ? ", LOCKED" : "") << "\n";
}

int show(const Context& c) {
  const bool json = c.rest_.size() == 1 && c.rest_[0] == "--json";
  if (!c.rest_.empty() && !json) return usageError(c.err_, "show: unexpected argument '" + c.rest_[0] + "'");
  const std::optional<TokenState> state = c.file_.load();
  if (!state) {
    c.err_ << "softtoken: no valid state file at " << c.file_.path() << " (run 'softtoken init')\n";
    return kExitState;
  }
  if (json) {
    c.out_ << formatState(*state);
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
  showPin(c.out_, "user PIN:     ", state->user_);
  showPin(c.out_, "admin PIN:    ", state->admin_);
  if (state->faults_.empty()) c.out_ << "faults:       none\n";
  for (const auto& [function, fault] : state->faults_) {
    c.out_ << "fault:        " << function << " returns " << describeSar(fault.code_)
           << (fault.once_ ? " once" : " until cleared") << "\n";
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
};

}  // namespace

int runSofttoken(const std::vector<std::string>& words, std::ostream& out, std::ostream& err) {
  std::string error;
  const std::optional<Arguments> args = splitArguments(words, &error);
  if (!args) return usageError(err, error);
  if (args->command_ == "help" || args->command_ == "--help" || args->command_ == "-h") {
    out << kUsage;
    return kExitOk;
  }
  const StateFile file(statePath(args->statePath_));
  const Context context{file, args->rest_, out, err};
  for (const Subcommand& sub : kSubcommands) {
    if (args->command_ == sub.name) return sub.run(context);
  }
  return usageError(err, "unknown command '" + args->command_ + "'");
}

}  // namespace softtoken
