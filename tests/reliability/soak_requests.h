// SPDX-License-Identifier: MIT
// The requests the soak sends and the reply each must get. Every valid request has an exact
// expected reply that does not depend on what other clients do at the same time (PINs are only
// ever changed to the value they already have), so replies can be checked one by one and in order.
#pragma once

#include <random>
#include <string>
#include <vector>

namespace soak {

struct Request {
  std::string text;
  std::string expected;     // the exact reply; empty when any well-formed envelope will do
  const char* kind;         // for the figures: the request type, "malformed" or "corpus"
};

struct TokenFacts {
  std::string serial;       // what GetUserName answers
  std::string userPin;
  std::string adminPin;
};

class RequestMaker {
 public:
  // `corpus`: message texts (the JSON corpus in tests/corpus/json) whose replies are only checked for form.
  RequestMaker(TokenFacts token, std::vector<std::string> corpus);

  // A request of every valid type in turn, then the unknown and malformed ones, picked at random.
  Request any(std::mt19937_64& random) const;
  Request valid(std::mt19937_64& random) const;
  // The valid request of one type: kind 0 to kValidKinds - 1, in the dispatcher's table order.
  Request valid(std::size_t kind, std::mt19937_64& random) const;
  static constexpr std::size_t kValidKinds = 11;
  Request malformed(std::mt19937_64& random) const;
  Request corpus(std::mt19937_64& random) const;
  // A ZPSHA1 request whose text makes the message about `bytes` long.
  Request large(std::mt19937_64& random, std::size_t bytes) const;
  // A request whose reply is about 1000 characters: an unknown type echoed back.
  Request bulky(std::mt19937_64& random) const;

 private:
  TokenFacts token_;
  std::vector<std::string> corpus_;
  std::string cipherKey_;   // 16 bytes derived from the serial
};

}  // namespace soak
