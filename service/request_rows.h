// SPDX-License-Identifier: MIT
// The request types as a table of rows: each reads its members into plain texts (on the network
// side) and runs its command on them (where the token is: the token process, or the caller's own
// process when there is none). A row that calls the token also says what it answers without one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <json/value.h>

// A command's arguments: the members its row reads, as texts (integers as their decimal text).
using Arguments = std::vector<std::string>;

// What a command answered, before the envelope.
struct Outcome {
  int code = 0;
  std::string data;
};

struct Row {
  std::string_view type;
  // Reads the members; throws what the member conversions throw (the dispatcher answers those).
  Arguments (*read)(const Json::Value& request);
  Outcome (*run)(const Arguments& arguments);  // may throw std::bad_alloc
  bool token;          // calls into the token library, so it waits its turn at the token
  bool presenceCheck;  // its answer is the same for every such request waiting together
  int absentCode;      // token rows: the reply its command gives without a token (README table)
  const char* absentData;
};

// No command reads more of a member than this (PINs are refused past 64 bytes, the digest reads
// 15 bytes, the cipher 48 characters): a member is cut here before it goes to the token.
inline constexpr std::size_t kArgumentMaxBytes = 256;
inline constexpr std::size_t kArgumentsMax = 5;

// The row whose type equals the request's "type" exactly, or nullptr.
const Row* findRow(std::string_view type);

// Rows by their place in the table, as the token process's jobs name them.
std::uint8_t rowIndex(const Row& row);
const Row* rowAt(std::size_t index);
