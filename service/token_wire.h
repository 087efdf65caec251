// SPDX-License-Identifier: MIT
// The messages between the daemon and its token process over their socketpair, as pure functions
// on bytes. Each message is a 4-byte little-endian length, then that many bytes of body:
//   job     'J', id (u32), row (u8), argument count (u8), then per argument u16 length and bytes
//   answer  'A', id (u32), code (i32), u16 length and the data's bytes
// Numbers are little-endian. The token process's first answer, id 0, says whether it loaded the
// library: code 0 and the file's path, or code 1 and why not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace wire {

inline constexpr std::size_t kBodyMax = 4096;  // far above any job or answer; a longer length is malformed
inline constexpr std::uint32_t kHelloId = 0;

struct Job {
  std::uint32_t id = 0;
  std::uint8_t row = 0;
  std::vector<std::string> arguments;  // at most 255, each at most 65535 bytes, all within kBodyMax
  bool operator==(const Job&) const = default;
};

struct Answer {
  std::uint32_t id = 0;
  std::int32_t code = 0;
  std::string data;
  bool operator==(const Answer&) const = default;
};

// Appends the message to out. False (out unchanged) when it would not fit the limits above.
bool encode(const Job& job, std::string& out);
bool encode(const Answer& answer, std::string& out);

enum class Status { done, incomplete, malformed };

// Reads one message from the front of bytes. done: the message is in *into and *used says how many
// bytes it took; incomplete: more bytes are needed; malformed: the stream cannot be trusted any
// further (a length out of bounds, a body of the wrong kind or that does not add up).
Status decode(std::string_view bytes, Job* into, std::size_t* used);
Status decode(std::string_view bytes, Answer* into, std::size_t* used);

}  // namespace wire
