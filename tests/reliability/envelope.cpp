// SPDX-License-Identifier: MIT
// The envelope is read from both ends: the fixed head, then data and code from the tail, since only
// the type text can hold the separators.
#include "tests/reliability/envelope.h"

#include <charconv>
#include <climits>

namespace reliability {

namespace {

constexpr std::string_view kHead = "{\"type\":\"";
constexpr std::string_view kCodeMark = "\", \"code\":\"";
constexpr std::string_view kDataMark = "\", \"data\":\"";
constexpr std::string_view kTail = "\"}";

// "0", or an optional minus and digits without a leading zero, within int.
std::optional<int> parseCode(std::string_view text) {
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '-') digits.remove_prefix(1);
  if (digits.empty() || (digits.front() == '0' && (digits.size() > 1 || text.size() != digits.size()))) {
    return std::nullopt;
  }
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < INT_MIN || value > INT_MAX) {
    return std::nullopt;
  }
  return static_cast<int>(value);
}

}  // namespace

std::optional<Envelope> parseEnvelope(std::string_view reply) {
  if (reply.size() > kMaxReplyLength) return std::nullopt;
  if (reply.find('\0') != std::string_view::npos) return std::nullopt;
  if (!reply.starts_with(kHead) || !reply.ends_with(kTail)) return std::nullopt;
  std::string_view rest = reply.substr(kHead.size(), reply.size() - kHead.size() - kTail.size());

  const std::size_t dataMark = rest.rfind(kDataMark);
  if (dataMark == std::string_view::npos) return std::nullopt;
  const std::string_view data = rest.substr(dataMark + kDataMark.size());
  if (data.find('"') != std::string_view::npos) return std::nullopt;
  rest = rest.substr(0, dataMark);

  const std::size_t codeMark = rest.rfind(kCodeMark);
  if (codeMark == std::string_view::npos) return std::nullopt;
  const std::optional<int> code = parseCode(rest.substr(codeMark + kCodeMark.size()));
  if (!code) return std::nullopt;
  const std::string_view type = rest.substr(0, codeMark);
  if (type.empty()) return std::nullopt;
  return Envelope{.type = std::string(type), .code = *code, .data = std::string(data)};
}

}  // namespace reliability
