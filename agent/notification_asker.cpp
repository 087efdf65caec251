// SPDX-License-Identifier: MIT
// The question as a desktop notification (the notification spec over the session bus) with
// Block, Always block, Allow once and Always allow as buttons. Clicking the notification itself
// (the `default` action, which has no label so that no server shows it as a second Block button),
// or closing it, is Block. Servers that report actions but show them only in a menu of their own
// are left to the window.
#include <systemd/sd-bus.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "agent/asker.h"
#include "agent/question_text.h"

namespace {

constexpr char kService[] = "org.freedesktop.Notifications";
constexpr char kPath[] = "/org/freedesktop/Notifications";
constexpr char kInterface[] = "org.freedesktop.Notifications";

// Servers that take the actions but offer them in a menu of their own (a click on the
// notification itself is all most people find), not as buttons: GetServerInformation's name.
constexpr const char* kMenuOnlyServers[] = {"dunst", "mako"};

class NotificationAsker : public Asker {
 public:
  ~NotificationAsker() override {
    if (bus_) sd_bus_flush_close_unref(bus_);
  }

  bool open(std::string& why) {
    int result = sd_bus_open_user(&bus_);
    if (result < 0) {
      why = std::string("no session bus: ") + std::strerror(-result);
      return false;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    result = sd_bus_call_method(bus_, kService, kPath, kInterface, "GetCapabilities", &error, &reply, "");
    if (result < 0) {
      why = std::string("no notification server: ") + (error.message ? error.message : std::strerror(-result));
      sd_bus_error_free(&error);
      return false;
    }
    char** capabilities = nullptr;
    result = sd_bus_message_read_strv(reply, &capabilities);
    sd_bus_message_unref(reply);
    bool actions = false;
    for (char** c = capabilities; c && *c; ++c) {
      actions = actions || std::strcmp(*c, "actions") == 0;
      markup_ = markup_ || std::strcmp(*c, "body-markup") == 0;
      free(*c);
    }
    free(capabilities);
    if (result < 0 || !actions) {
      why = "the notification server shows no buttons";
      return false;
    }
    const char* name = nullptr;
    result = sd_bus_call_method(bus_, kService, kPath, kInterface, "GetServerInformation", &error, &reply, "");
    if (result >= 0) result = sd_bus_message_read(reply, "ssss", &name, nullptr, nullptr, nullptr);
    const std::string server = result >= 0 && name ? name : "";
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    for (const char* menuOnly : kMenuOnlyServers) {
      if (server == menuOnly) {
        why = "the notification server (" + server + ") shows its actions only in a menu";
        return false;
      }
    }
    // Signals only from the server itself: the bus matches the name's current owner.
    sd_bus_match_signal(bus_, nullptr, kService, kPath, kInterface, "ActionInvoked", onAction, this);
    sd_bus_match_signal(bus_, nullptr, kService, kPath, kInterface, "NotificationClosed", onClosed, this);
    return true;
  }

  void ask(const consent::agent_line::Ask& ask) override {
    takeDown();
    const question_text::Text text = question_text::make(
        ask.origin, ask.waiting, markup_ ? question_text::Style::Markup : question_text::Style::Plain);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const int result = sd_bus_call_method(
        bus_, kService, kPath, kInterface, "Notify", &error, &reply, "susssasa{sv}i", "tokenbridge", 0u,
        "security-high", text.title.c_str(), text.body.c_str(), 10, "default", "", "block", "Block", "block-always",
        "Always block", "allow", "Allow once", "allow-always", "Always allow", 1, "urgency", "y",
        static_cast<std::uint8_t>(2), 0);
    sd_bus_error_free(&error);
    std::uint32_t id = 0;
    if (result >= 0) sd_bus_message_read(reply, "u", &id);
    sd_bus_message_unref(reply);
    question_ = ask.question;
    shown_ = id;
    // A server that refused the notification: nothing on screen means no.
    if (id == 0) pending_ = Answer{ask.question, false, false};
  }

  void withdraw(const std::string& question) override {
    if (question == question_) takeDown();
  }

  pollfd waitFor(int& timeoutMs) override {
    pollfd wait{sd_bus_get_fd(bus_), static_cast<short>(sd_bus_get_events(bus_)), 0};
    std::uint64_t usec = 0;
    if (pending_) timeoutMs = 0;
    else if (sd_bus_get_timeout(bus_, &usec) >= 0 && usec != UINT64_MAX) timeoutMs = 0;  // work queued already
    return wait;
  }

  std::optional<Answer> process() override {
    while (!pending_ && sd_bus_process(bus_, nullptr) > 0) {
    }
    std::optional<Answer> answer = std::move(pending_);
    pending_.reset();
    return answer;
  }

 private:
  void takeDown() {
    if (shown_ != 0) {
      sd_bus_call_method_async(bus_, nullptr, kService, kPath, kInterface, "CloseNotification", nullptr, nullptr, "u",
                               shown_);
      sd_bus_flush(bus_);  // out now: the agent may be ending
    }
    shown_ = 0;
    question_.clear();
  }

  void answered(bool allow, bool remember) {
    pending_ = Answer{question_, allow, remember};
    shown_ = 0;
    question_.clear();
  }

  static int onAction(sd_bus_message* message, void* self, sd_bus_error*) {
    auto& asker = *static_cast<NotificationAsker*>(self);
    std::uint32_t id = 0;
    const char* action = nullptr;
    if (sd_bus_message_read(message, "us", &id, &action) < 0 || id == 0 || id != asker.shown_) return 0;
    const std::string key = action;
    asker.answered(key == "allow" || key == "allow-always", key == "allow-always" || key == "block-always");
    return 0;
  }

  static int onClosed(sd_bus_message* message, void* self, sd_bus_error*) {
    auto& asker = *static_cast<NotificationAsker*>(self);
    std::uint32_t id = 0;
    std::uint32_t reason = 0;
    if (sd_bus_message_read(message, "uu", &id, &reason) < 0 || id == 0 || id != asker.shown_) return 0;
    asker.answered(false, false);  // dismissed or expired without a button: Block
    return 0;
  }

  sd_bus* bus_ = nullptr;
  bool markup_ = false;
  std::uint32_t shown_ = 0;
  std::string question_;
  std::optional<Answer> pending_;
};

}  // namespace

std::unique_ptr<Asker> makeNotificationAsker(std::string& why) {
  auto asker = std::make_unique<NotificationAsker>();
  if (!asker->open(why)) return nullptr;
  return asker;
}
