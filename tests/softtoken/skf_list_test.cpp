// SPDX-License-Identifier: MIT
// Name lists (devices, applications), connecting by name and the device information record.
#include <cstring>
#include <set>

#include "tests/softtoken/token_fixture.h"

namespace {

using namespace std::string_literals;

enum class Token { Plugged, Unplugged, NoFile, Garbage };

constexpr ULONG kNullBuffer = 0xFFFFFFFF;  // row marker: pass no buffer, only the size

struct EnumDevCase {
  const char* name;
  Token token;
  BOOL present;
  ULONG size;  // *pulSize on entry; kNullBuffer for a size query
  ULONG rv;
  ULONG sizeAfter;
  std::string list;  // the buffer's first sizeAfter bytes after an SAR_OK with a buffer
};

const std::string kDeviceList = "KV5100RT VCR 1\0\0"s;

class EnumDevTest : public TokenTest {};

TEST_F(EnumDevTest, ListsThePluggedTokenBySizeQueryAndBuffer) {
  const EnumDevCase cases[] = {
      {"size query", Token::Plugged, 1, kNullBuffer, SAR_OK, 16, ""},
      {"exact buffer", Token::Plugged, 1, 16, SAR_OK, 16, kDeviceList},
      {"larger buffer", Token::Plugged, 1, 256, SAR_OK, 16, kDeviceList},
      {"one byte short", Token::Plugged, 1, 15, SAR_BUFFER_TOO_SMALL, 16, ""},
      {"size 0 with a buffer", Token::Plugged, 1, 0, SAR_BUFFER_TOO_SMALL, 16, ""},
      {"unplugged, present only", Token::Unplugged, 1, kNullBuffer, SAR_OK, 0, ""},
      {"unplugged, present only, buffer", Token::Unplugged, 1, 256, SAR_OK, 0, ""},
      {"unplugged, all devices", Token::Unplugged, 0, 256, SAR_OK, 16, kDeviceList},
      {"no state file", Token::NoFile, 1, kNullBuffer, SAR_OK, 0, ""},
      {"no state file, all devices", Token::NoFile, 0, 256, SAR_OK, 0, ""},
      {"garbage state file", Token::Garbage, 1, kNullBuffer, SAR_OK, 0, ""},
  };
  for (const EnumDevCase& c : cases) {
    SCOPED_TRACE(c.name);
    store(softtoken::TokenState{});
    if (c.token == Token::Unplugged) edit([](softtoken::TokenState& s) { s.present_ = false; });
    if (c.token == Token::NoFile) std::remove(statePath().c_str());
    if (c.token == Token::Garbage) writeRaw("{\"present\": tru");

    char buffer[256];
    std::memset(buffer, 'x', sizeof buffer);
    ULONG size = c.size == kNullBuffer ? 0 : c.size;
    EXPECT_EQ(SKF_EnumDev(c.present, c.size == kNullBuffer ? nullptr : buffer, &size), c.rv);
    EXPECT_EQ(size, c.sizeAfter);
    if (!c.list.empty()) {
      EXPECT_EQ(std::string(buffer, c.sizeAfter), c.list);
    }
    // Refused or empty answers leave the caller's buffer alone.
    if (c.list.empty()) {
      EXPECT_EQ(buffer[0], 'x');
    }
  }
}

TEST_F(EnumDevTest, NullSizePointerIsAParameterError) {
  char buffer[64];
  EXPECT_EQ(SKF_EnumDev(1, buffer, nullptr), SAR_INVALIDPARAMERR);
  EXPECT_EQ(SKF_EnumDev(1, nullptr, nullptr), SAR_INVALIDPARAMERR);
}

struct EnumAppCase {
  const char* name;
  std::vector<std::string> apps;
  ULONG size;
  ULONG rv;
  ULONG sizeAfter;
  std::string list;
};

TEST_F(TokenTest, EnumApplicationListsNamesInOrder) {
  const EnumAppCase cases[] = {
      {"one, size query", {"TOKENBRIDGE"}, kNullBuffer, SAR_OK, 13, ""},
      {"one, the daemon's 256 bytes", {"TOKENBRIDGE"}, 256, SAR_OK, 13, "TOKENBRIDGE\0\0"s},
      {"two, exact buffer", {"SIGNING", "TOKENBRIDGE"}, 21, SAR_OK, 21, "SIGNING\0TOKENBRIDGE\0\0"s},
      {"two, one byte short", {"SIGNING", "TOKENBRIDGE"}, 20, SAR_BUFFER_TOO_SMALL, 21, ""},
      {"none", {}, 256, SAR_OK, 0, ""},
  };
  for (const EnumAppCase& c : cases) {
    SCOPED_TRACE(c.name);
    edit([&](softtoken::TokenState& s) { s.applications_ = c.apps; });
    const DEVHANDLE device = connect();
    char buffer[256];
    std::memset(buffer, 'x', sizeof buffer);
    ULONG size = c.size == kNullBuffer ? 0 : c.size;
    EXPECT_EQ(SKF_EnumApplication(device, c.size == kNullBuffer ? nullptr : buffer, &size), c.rv);
    EXPECT_EQ(size, c.sizeAfter);
    if (!c.list.empty()) {
      EXPECT_EQ(std::string(buffer, c.sizeAfter), c.list);
    }
    if (c.list.empty()) {
      EXPECT_EQ(buffer[0], 'x');
    }
    EXPECT_EQ(SKF_EnumApplication(device, buffer, nullptr), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_DisConnectDev(device), SAR_OK);
  }
}

// The quirks bend the list calls as documented, so the daemon's tests meet exactly that.
TEST_F(TokenTest, QuirksBendTheNameLists) {
  struct QuirkCase {
    const char* name;
    std::set<std::string> quirks;
    bool devices;  // SKF_EnumDev; else SKF_EnumApplication
    ULONG size;    // *pulSize on entry; kNullBuffer for a size query
    ULONG rv;
    ULONG sizeAfter;
    std::string buffer;  // the buffer's first bytes afterwards ('x' is untouched)
  };
  const QuirkCase cases[] = {
      {"unterminated: fills all 32 bytes offered", {"unterminated-lists"}, false, 32, SAR_OK, 32,
       "TOKENBRIDGETOKENBRIDGETOKENBRIDGx"},
      {"unterminated: size query as usual", {"unterminated-lists"}, false, kNullBuffer, SAR_OK, 13, "x"},
      {"unterminated: device list too", {"unterminated-lists"}, true, 20, SAR_OK, 20, "KV5100RT VCR 1KV5100x"},
      {"overstated: size query", {"overstated-sizes"}, false, kNullBuffer, SAR_OK, 13 + 4096, "x"},
      {"overstated: filled", {"overstated-sizes"}, false, 256, SAR_OK, 13 + 4096, "TOKENBRIDGE\0\0x"s},
      {"overstated: too small", {"overstated-sizes"}, true, 4, SAR_BUFFER_TOO_SMALL, 16 + 4096, "x"},
      {"understated: filled", {"understated-sizes"}, false, 256, SAR_OK, 6, "TOKENBRIDGE\0\0x"s},
      {"understated: size query as usual", {"understated-sizes"}, true, kNullBuffer, SAR_OK, 16, "x"},
      {"huge size query", {"huge-size-query"}, true, kNullBuffer, SAR_OK, 0xFFFFFFFF, "x"},
      {"huge size query: filling as usual", {"huge-size-query"}, false, 256, SAR_OK, 13, "TOKENBRIDGE\0\0x"s},
  };
  for (const QuirkCase& c : cases) {
    SCOPED_TRACE(c.name);
    edit([&](softtoken::TokenState& s) { s.quirks_ = c.quirks; });
    const DEVHANDLE device = connect();
    char buffer[256];
    std::memset(buffer, 'x', sizeof buffer);
    ULONG size = c.size == kNullBuffer ? 0 : c.size;
    char* given = c.size == kNullBuffer ? nullptr : buffer;
    EXPECT_EQ(c.devices ? SKF_EnumDev(1, given, &size) : SKF_EnumApplication(device, given, &size), c.rv);
    EXPECT_EQ(size, c.sizeAfter);
    EXPECT_EQ(std::string(buffer, c.buffer.size()), c.buffer);
    EXPECT_EQ(SKF_DisConnectDev(device), SAR_OK);
  }
}

TEST_F(TokenTest, OversizedDevInfoQuirkWritesPastTheRecord) {
  edit([](softtoken::TokenState& s) { s.quirks_ = {"oversized-devinfo"}; });
  const DEVHANDLE device = connect();
  unsigned char room[sizeof(DEVINFO) + 128];
  std::memset(room, 0, sizeof room);
  ASSERT_EQ(SKF_GetDevInfo(device, reinterpret_cast<DEVINFO*>(room)), SAR_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(room) + 162, 20), "TB0123456789ABCDEF01");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(room) + sizeof(DEVINFO), 64), std::string(64, '\xEE'));
  EXPECT_EQ(room[sizeof(DEVINFO) + 64], 0);
  EXPECT_EQ(SKF_DisConnectDev(device), SAR_OK);
}

struct ConnectCase {
  const char* name;
  std::string device;  // the token's name in the state
  bool present;
  const char* asked;   // name passed to SKF_ConnectDev
  ULONG rv;
};

TEST_F(TokenTest, ConnectAcceptsOnlyThePluggedTokensName) {
  const ConnectCase cases[] = {
      {"default name", "KV5100RT VCR 1", true, "KV5100RT VCR 1", SAR_OK},
      {"another number", "KV5100RT VCR 1", true, "KV5100RT VCR 2", SAR_INVALIDPARAMERR},
      {"prefix only", "KV5100RT VCR 1", true, "KV5100RT VCR ", SAR_INVALIDPARAMERR},
      {"empty name", "KV5100RT VCR 1", true, "", SAR_INVALIDPARAMERR},
      {"renamed token", "SOFT 7", true, "SOFT 7", SAR_OK},
      {"renamed token, old name", "SOFT 7", true, "KV5100RT VCR 1", SAR_INVALIDPARAMERR},
      {"unplugged", "KV5100RT VCR 1", false, "KV5100RT VCR 1", SAR_DEVICE_REMOVED},
  };
  for (const ConnectCase& c : cases) {
    SCOPED_TRACE(c.name);
    edit([&](softtoken::TokenState& s) {
      s.device_ = c.device;
      s.present_ = c.present;
    });
    std::string asked = c.asked;
    DEVHANDLE device = nullptr;
    EXPECT_EQ(SKF_ConnectDev(asked.data(), &device), c.rv);
    // A refused connect leaves the caller's handle as it was.
    EXPECT_EQ(device != nullptr, c.rv == SAR_OK);
    if (device != nullptr) {
      EXPECT_EQ(SKF_DisConnectDev(device), SAR_OK);
    }
  }
  DEVHANDLE device = nullptr;
  edit([](softtoken::TokenState& s) { s = softtoken::TokenState{}; });
  EXPECT_EQ(SKF_ConnectDev(nullptr, &device), SAR_INVALIDPARAMERR);
  EXPECT_EQ(SKF_ConnectDev(kDeviceName, nullptr), SAR_INVALIDPARAMERR);
}

struct SerialCase {
  const char* name;
  std::string stored;  // in the state file
  std::string serial;  // in the record
  bool unterminated = false;  // the unterminated-serial quirk on
};

TEST_F(TokenTest, DevInfoCarriesTheSerialNumberInItsFixedField) {
  const SerialCase cases[] = {
      {"one character", "7", "7"},
      {"the default 20", "TB0123456789ABCDEF01", "TB0123456789ABCDEF01"},
      {"31, terminated by the zero fill", "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234", "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234"},
      {"32: cut, so it stays terminated", "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234"},
      {"exactly 32 with the quirk, not terminated", "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345",
       "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", true},
  };
  for (const SerialCase& c : cases) {
    SCOPED_TRACE(c.name);
    edit([&](softtoken::TokenState& s) {
      s.serial_ = c.stored;
      s.quirks_.clear();
      if (c.unterminated) s.quirks_.insert("unterminated-serial");
    });
    const DEVHANDLE device = connect();
    DEVINFO info;
    std::memset(&info, 0xAB, sizeof info);
    ASSERT_EQ(SKF_GetDevInfo(device, &info), SAR_OK);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&info);
    EXPECT_EQ(std::string(info.SerialNumber, c.serial.size()), c.serial);
    // The rest of the field is zero-filled, and the byte after it is the hardware version.
    for (std::size_t i = c.serial.size(); i < sizeof info.SerialNumber; ++i) EXPECT_EQ(bytes[162 + i], 0) << i;
    EXPECT_EQ(bytes[162 + 32], 1);
    EXPECT_GT(strnlen(info.Manufacturer, sizeof info.Manufacturer), 0u);
    EXPECT_EQ(std::memcmp(info.Reserved, std::string(64, '\0').data(), 64), 0);
    EXPECT_EQ(SKF_GetDevInfo(device, nullptr), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_DisConnectDev(device), SAR_OK);
  }
}

}  // namespace
