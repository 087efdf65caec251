// SPDX-License-Identifier: MIT
// The question as a desktop notification (the notification spec over the session bus) with
// Block, Always block, Allow once and Always allow. Clicking the notification itself, or closing
// it, is Block.
#include <systemd/sd-bus.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "agent/asker.h"

namespace {

constexpr char kService[] = "org.freedesktop.Notifications";
constexpr char kPath[] = "/org/freedesktop/Notifications";
constexpr char kInterface[] = "org.freedesktop.Notifications";

// With body-markup a server reads the body as markup: escaped, the origin shows exactly as sent.
std::string escapeMarkup(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else out += c;
  }
  return out;
}

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
    // Signals only from the server itself: the bus matches the name's current owner.
    sd_bus_match_signal(bus_, nullptr, kService, kPath, kInterface, "ActionInvoked", onAction, this);
    sd_bus_match_signal(bus_, nullptr, kService, kPath, kInterface, "NotificationClosed", onClosed, this);
    return true;
  }

  void ask(const std::string& question, const std::string& origin) override {
    takeDown();
    const std::string body = (markup_ ? escapeMarkup(origin) : origin) + "\nwants to use your security token.";
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const int result = sd_bus_call_method(
        bus_, kService, kPath, kInterface, "Notify", &error, &reply, "susssasa{sv}i", "tokenbridge", 0u,
        "security-high", "Allow this site to use the token?", body.c_str(), 10, "default", "Block", "block", "Block",
        "block-always", "Always block", "allow", "Allow once", "allow-always", "Always allow", 1, "urgency", "y",
        static_cast<std::uint8_t>(2), 0);
    sd_bus_error_free(&error);
    std::uint32_t id = 0;
    if (result >= 0) sd_bus_message_read(reply, "u", &id);
    sd_bus_message_unref(reply);
    question_ = question;
    shown_ = id;
    // A server that refused the notification: nothing on screen means no.
    if (id == 0) pending_ = Answer{question, false, false};
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
