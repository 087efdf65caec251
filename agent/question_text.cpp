// SPDX-License-Identifier: MIT
#include "agent/question_text.h"

#include <idn2.h>
#include <libpsl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

namespace question_text {
namespace {

// Anyone who can reach the daemon names the origin: only printable ASCII is shown as it came (a
// browser sends nothing else), so no control or direction character can rearrange the text.
std::string printable(std::string_view text) {
  std::string out;
  for (const char c : text) out += (c >= 0x20 && c < 0x7f) ? c : '?';
  return out;
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string escape(std::string_view text, Style style) {
  if (style == Style::Plain) return std::string(text);
  std::string out;
  for (const char c : text) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else out += c;
  }
  return out;
}

std::string bold(std::string_view text, Style style) {
  return style == Style::Markup ? "<b>" + escape(text, style) + "</b>" : std::string(text);
}

bool isIpLiteral(std::string_view host) {
  if (host.starts_with('[')) return true;
  return !host.empty() && host.find_first_not_of("0123456789.") == std::string_view::npos;
}

std::size_t labelCount(std::string_view name) { return std::count(name.begin(), name.end(), '.') + 1; }

// The last `labels` labels of a dotted name (the whole name when it has no more).
std::string lastLabels(const std::string& name, std::size_t labels) {
  std::size_t start = name.size();
  for (std::size_t seen = 0; seen < labels; ++seen) {
    const std::size_t dot = start == 0 ? std::string::npos : name.rfind('.', start - 1);
    if (dot == std::string::npos) return name;
    start = dot;
  }
  return name.substr(start + 1);
}

// The registrable domain (one label below a public suffix), from Debian's public-suffix list.
// None for a name that is a public suffix itself or has no known suffix.
std::optional<std::string> registrableDomain(const std::string& asciiHost) {
  static const psl_ctx_t* const list = psl_latest(nullptr);
  if (!list) return std::nullopt;
  const char* domain = psl_registrable_domain(list, asciiHost.c_str());
  if (!domain) return std::nullopt;
  return std::string(domain);
}

// The Unicode form of a name with xn-- labels; none when it does not decode to a valid name.
std::optional<std::string> unicodeOf(const std::string& asciiHost) {
  if (lower(asciiHost).find("xn--") == std::string::npos) return std::nullopt;
  char* decoded = nullptr;
  if (idn2_to_unicode_8z8z(asciiHost.c_str(), &decoded, IDN2_NONTRANSITIONAL) != IDN2_OK || !decoded) return std::nullopt;
  const std::unique_ptr<char, decltype(&idn2_free)> owner(decoded, &idn2_free);
  // Decoding accepts what a registration would refuse; shown only if it encodes back to the same.
  char* again = nullptr;
  if (idn2_to_ascii_8z(decoded, &again, IDN2_NONTRANSITIONAL) != IDN2_OK || !again) return std::nullopt;
  const std::unique_ptr<char, decltype(&idn2_free)> againOwner(again, &idn2_free);
  if (lower(again) != lower(asciiHost)) return std::nullopt;
  return std::string(decoded);
}

struct Origin {
  std::string scheme;
  std::string host;
  std::string port;  // with its colon, or empty
};

std::optional<Origin> parseOrigin(const std::string& origin) {
  const std::size_t schemeEnd = origin.find("://");
  if (schemeEnd == std::string::npos || schemeEnd == 0) return std::nullopt;
  Origin parsed{origin.substr(0, schemeEnd), "", ""};
  std::string rest = origin.substr(schemeEnd + 3);
  rest = rest.substr(0, rest.find('/'));
  const std::size_t hostEnd = rest.starts_with('[') ? rest.find(']') : rest.find(':');
  if (rest.starts_with('[') && hostEnd == std::string::npos) return std::nullopt;
  const std::size_t portStart = rest.starts_with('[') ? hostEnd + 1 : hostEnd;
  parsed.host = rest.substr(0, portStart);
  if (portStart < rest.size()) parsed.port = rest.substr(portStart);
  // Anything but a host name, an address and a port number is shown whole, not taken apart.
  const char* allowed = parsed.host.starts_with('[') ? "[]:.0123456789abcdefABCDEF" : nullptr;
  const bool nameOk = !parsed.host.empty() &&
                      std::all_of(parsed.host.begin(), parsed.host.end(), [allowed](unsigned char c) {
                        return allowed ? std::strchr(allowed, c) != nullptr : std::isalnum(c) || c == '-' || c == '.' || c == '_';
                      });
  const bool portOk = parsed.port.empty() || (parsed.port.size() > 1 && parsed.port.find_first_not_of("0123456789", 1) == std::string::npos);
  if (!nameOk || !portOk) return std::nullopt;
  return parsed;
}

}  // namespace

bool isThisComputer(std::string_view host) {
  const std::string name = lower(std::string(host));
  if (name == "localhost" || name.ends_with(".localhost") || name == "[::1]") return true;
  return isIpLiteral(name) && name.starts_with("127.");
}

Host describeHost(std::string_view host) {
  const std::string ascii = printable(host);
  if (isIpLiteral(ascii)) return Host{ascii, "", ascii};
  const std::optional<std::string> unicode = unicodeOf(ascii);
  Host described{unicode.value_or(ascii), unicode ? ascii : "", ""};
  // The labels of both forms match one to one, so the tail is counted on the ASCII name.
  const std::optional<std::string> domain = registrableDomain(lower(ascii));
  described.identifying = domain ? lastLabels(described.shown, labelCount(*domain)) : described.shown;
  return described;
}

Text make(std::string_view origin, int waiting, Style style) {
  const std::string sent = printable(origin);
  Text text{"tokenbridge: may this site use your token?", ""};
  std::string& body = text.body;
  const std::optional<Origin> parsed = parseOrigin(sent);
  if (parsed) {
    const Host host = describeHost(parsed->host);
    const std::string prefix = host.shown.substr(0, host.shown.size() - host.identifying.size());
    body += "Site: " + bold(host.identifying, style) + "\n";
    body += "Address: " + escape(parsed->scheme + "://" + prefix, style) + bold(host.identifying, style) +
            escape(parsed->port, style);
    if (!host.ascii.empty()) body += " (" + escape(host.ascii, style) + ")";
    body += "\n";
    if (lower(parsed->scheme) == "http" && !isThisComputer(parsed->host)) {
      const std::string warning = "\u26a0 Not encrypted (http://): anyone on your network could pose as this site.";
      body += (style == Style::Markup ? "<b>" + warning + "</b>" : warning) + "\n";
    }
  } else {
    body += "Site: " + bold(sent, style) + "\n";
  }
  body += "If allowed, it can try your PIN, read the token's serial number and compute with the token.\n";
  if (waiting == 1) body += "1 other site is waiting to ask.\n";
  if (waiting > 1) body += std::to_string(waiting) + " other sites are waiting to ask.\n";
  body += "Undo \u201cAlways\u201d later with tokenbridge-agent --list and --forget.";
  return text;
}

}  // namespace question_text
