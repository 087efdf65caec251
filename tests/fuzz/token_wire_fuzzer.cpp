// SPDX-License-Identifier: MIT
// Any bytes as the stream between the daemon and its token process, read both as jobs and as
// answers the way each side reads it: decoding never crashes or reads past the bytes, a decoded
// message says it used a length within them, and it encodes back to exactly the bytes it took.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "service/token_wire.h"

namespace {

template <class Message>
void readStream(std::string_view bytes) {
  while (!bytes.empty()) {
    Message message;
    std::size_t used = 0;
    if (wire::decode(bytes, &message, &used) != wire::Status::done) return;
    if (used == 0 || used > bytes.size()) std::abort();
    std::string again;
    if (!wire::encode(message, again) || again != bytes.substr(0, used)) std::abort();
    bytes.remove_prefix(used);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  readStream<wire::Job>(bytes);
  readStream<wire::Answer>(bytes);
  return 0;
}
