// SPDX-License-Identifier: MIT
#include "service/token_wire.h"

#include <limits>
#include <utility>

namespace wire {
namespace {

constexpr char kJob = 'J';
constexpr char kAnswer = 'A';

void putU16(std::string& out, std::uint16_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}

void putU32(std::string& out, std::uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

bool putText(std::string& out, const std::string& text) {
  if (text.size() > std::numeric_limits<std::uint16_t>::max()) return false;
  putU16(out, static_cast<std::uint16_t>(text.size()));
  out += text;
  return true;
}

// Wraps the body in its length; false when the body is too long.
bool frame(const std::string& body, std::string& out) {
  if (body.size() > kBodyMax) return false;
  putU32(out, static_cast<std::uint32_t>(body.size()));
  out += body;
  return true;
}

// Reads fields off the front of a body; any read past its end marks the body bad.
class Reader {
 public:
  explicit Reader(std::string_view body) : rest_(body) {}

  std::uint32_t number(int bytes) {
    if (rest_.size() < static_cast<std::size_t>(bytes)) {
      bad_ = true;
      return 0;
    }
    std::uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<std::uint32_t>(static_cast<unsigned char>(rest_[i])) << (8 * i);
    rest_.remove_prefix(static_cast<std::size_t>(bytes));
    return v;
  }

  std::string text() {
    const std::size_t length = number(2);
    if (bad_ || rest_.size() < length) {
      bad_ = true;
      return {};
    }
    std::string value(rest_.substr(0, length));
    rest_.remove_prefix(length);
    return value;
  }

  // Everything read, nothing left over.
  bool whole() const { return !bad_ && rest_.empty(); }

 private:
  std::string_view rest_;
  bool bad_ = false;
};

// The body of the first message, once all of it is there.
Status body(std::string_view bytes, char kind, std::string_view* into, std::size_t* used) {
  if (bytes.size() < 4) return Status::incomplete;
  std::uint32_t length = 0;
  for (int i = 0; i < 4; ++i) length |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
  if (length == 0 || length > kBodyMax) return Status::malformed;
  if (bytes.size() > 4 && bytes[4] != kind) return Status::malformed;
  if (bytes.size() - 4 < length) return Status::incomplete;
  *into = bytes.substr(5, length - 1);
  *used = 4 + static_cast<std::size_t>(length);
  return Status::done;
}

}  // namespace

bool encode(const Job& job, std::string& out) {
  if (job.arguments.size() > std::numeric_limits<std::uint8_t>::max()) return false;
  std::string b(1, kJob);
  putU32(b, job.id);
  b.push_back(static_cast<char>(job.row));
  b.push_back(static_cast<char>(job.arguments.size()));
  for (const std::string& argument : job.arguments) {
    if (!putText(b, argument)) return false;
  }
  return frame(b, out);
}

bool encode(const Answer& answer, std::string& out) {
  std::string b(1, kAnswer);
  putU32(b, answer.id);
  putU32(b, static_cast<std::uint32_t>(answer.code));
  if (!putText(b, answer.data)) return false;
  return frame(b, out);
}

Status decode(std::string_view bytes, Job* into, std::size_t* used) {
  std::string_view fields;
  const Status status = body(bytes, kJob, &fields, used);
  if (status != Status::done) return status;
  Reader r(fields);
  Job job;
  job.id = r.number(4);
  job.row = static_cast<std::uint8_t>(r.number(1));
  const std::uint32_t count = r.number(1);
  for (std::uint32_t i = 0; i < count; ++i) job.arguments.push_back(r.text());
  if (!r.whole()) return Status::malformed;
  *into = std::move(job);
  return Status::done;
}

Status decode(std::string_view bytes, Answer* into, std::size_t* used) {
  std::string_view fields;
  const Status status = body(bytes, kAnswer, &fields, used);
  if (status != Status::done) return status;
  Reader r(fields);
  Answer answer;
  answer.id = r.number(4);
  answer.code = static_cast<std::int32_t>(r.number(4));
  answer.data = r.text();
  if (!r.whole()) return Status::malformed;
  *into = std::move(answer);
  return Status::done;
}

}  // namespace wire
