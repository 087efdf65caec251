// SPDX-License-Identifier: MIT
// The dispatcher's reply checked against the envelope forms and the codes of its own errors.
#include "tests/reliability/dispatcher_oracle.h"

#include <optional>

#include "service/dispatcher.h"
#include "tests/reliability/envelope.h"

namespace reliability {

const char* findReplyFault(const unsigned char* message, std::size_t size, std::string& reply) {
  reply = handleRequest(message, size);
  const std::optional<Envelope> envelope = parseEnvelope(reply);
  if (!envelope) return "the reply is not one well-formed envelope of at most 1023 characters";

  // The dispatcher's own errors, and only they, carry code -1 with one of its three data texts;
  // an unparsable request has no type to echo.
  const bool ownError = envelope->data == "-1097" || envelope->data == "-1098" || envelope->data == "-1099";
  if ((envelope->code == -1) != ownError) return "code -1 and a dispatcher error text do not go together";
  if (envelope->data == "-1098" && envelope->type != "VQUnSupport") return "an unparsable request echoed a type";

  // Nothing survives from one message to the next, so the same bytes get the same reply.
  if (handleRequest(message, size) != reply) return "the same message got a different reply the second time";
  return nullptr;
}

}  // namespace reliability
