// SPDX-License-Identifier: MIT
// The reply envelope, assembled piece by piece into its string.
#include "service/reply.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace {

// Builds the reply as a formatted 1024-byte C buffer would hold it: whatever does not fit in 1023
// characters is cut, so a long echoed type can neither overrun nor grow the reply.
class ReplyText {
 public:
  static constexpr std::size_t kMaxLength = 1023;

  ReplyText() { text_.reserve(96); }  // every ordinary reply fits: one allocation

  void add(const char* text, std::size_t length) {
    text_.append(text, std::min(length, kMaxLength - text_.size()));
  }
  void add(const char* text) { add(text, std::strlen(text)); }
  template <std::size_t N>
  void addLiteral(const char (&text)[N]) { add(text, N - 1); }
  void add(int number) {
    char digits[12];
    const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    add(digits, static_cast<std::size_t>(end - digits));
  }
  std::string take() { return std::move(text_); }

 private:
  std::string text_;
};

}  // namespace

std::string getJsonData(const std::string& type, const char* data, int code) {
  ReplyText reply;
  if (type.empty()) {
    reply.addLiteral("{\"type\":\"VQUnSupport\", \"code\":\"");
  } else {
    reply.addLiteral("{\"type\":\"");
    reply.add(type.c_str());  // up to its first NUL, as text
    reply.addLiteral("\", \"code\":\"");
  }
  reply.add(code);
  reply.addLiteral("\", \"data\":\"");
  reply.add(data);
  reply.addLiteral("\"}");
  return reply.take();
}

std::string typeThatFits(const std::string& type, const char* data, int code) {
  // What the envelope around the type takes, measured by building it with an empty-looking type.
  const std::size_t around = getJsonData(" ", data, code).size() - 1;
  const std::size_t room = ReplyText::kMaxLength - std::min(around, ReplyText::kMaxLength);
  const std::size_t length = std::strlen(type.c_str());
  if (length <= room) return type;
  std::size_t cut = room;
  // Never split a multi-byte character: a text frame must stay valid UTF-8.
  while (cut > 0 && (static_cast<unsigned char>(type[cut]) & 0xC0) == 0x80) --cut;
  return type.substr(0, cut);
}
