// SPDX-License-Identifier: MIT
// A slow or wedged token: delays per function or for all, a stuck function that holds its call
// until released (other functions still answer), and counted calls.
#include <chrono>
#include <future>

#include "tests/softtoken/token_fixture.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

milliseconds timeOf(const std::function<ULONG()>& call, ULONG* result) {
  const auto start = steady_clock::now();
  *result = call();
  return std::chrono::duration_cast<milliseconds>(steady_clock::now() - start);
}

ULONG enumDev() {
  ULONG size = 0;
  return SKF_EnumDev(1, nullptr, &size);
}

ULONG connectDev() {
  DEVHANDLE device = nullptr;
  const ULONG result = SKF_ConnectDev(kDeviceName, &device);
  if (result == SAR_OK) SKF_DisConnectDev(device);
  return result;
}

TEST_F(TokenTest, DelaysSlowTheFunctionsTheyNameAndTheCallsStillWork) {
  struct Case {
    const char* name;
    std::map<std::string, ULONG> delays;
    ULONG (*call)();
    milliseconds atLeast;
  };
  const Case cases[] = {
      {"one function", {{"SKF_EnumDev", 150}}, enumDev, milliseconds(150)},
      {"every function", {{"*", 150}}, connectDev, milliseconds(150)},
      {"a function's own delay wins over every function's", {{"*", 5}, {"SKF_EnumDev", 150}}, enumDev,
       milliseconds(150)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store(softtoken::TokenState{});
    edit([&](softtoken::TokenState& s) { s.delays_ = c.delays; });
    ULONG result = SAR_FAIL;
    EXPECT_GE(timeOf(c.call, &result), c.atLeast);
    EXPECT_EQ(result, SAR_OK);
  }
}

TEST_F(TokenTest, StuckFunctionReturnsOnlyOnceReleasedWhileOthersAnswer) {
  store(softtoken::TokenState{});
  edit([](softtoken::TokenState& s) { s.stuck_.insert("SKF_EnumDev"); });
  std::future<ULONG> stuck = std::async(std::launch::async, enumDev);
  EXPECT_EQ(stuck.wait_for(milliseconds(300)), std::future_status::timeout);
  // The wait holds no lock: another function, and the command's write, still go through.
  EXPECT_EQ(connectDev(), SAR_OK);
  edit([](softtoken::TokenState& s) { s.stuck_.clear(); });
  ASSERT_EQ(stuck.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(stuck.get(), SAR_OK);
}

TEST_F(TokenTest, CountsCallsOfTheListedFunctionsOnlyFaultedOnesIncluded) {
  store(softtoken::TokenState{});
  edit([](softtoken::TokenState& s) {
    s.calls_["SKF_EnumDev"] = 0;
    s.faults_["SKF_EnumDev"] = softtoken::Fault{SAR_FAIL, true};
  });
  EXPECT_EQ(enumDev(), SAR_FAIL);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(enumDev(), SAR_OK);
  EXPECT_EQ(connectDev(), SAR_OK);
  EXPECT_EQ(load().calls_, (std::map<std::string, std::uint64_t>{{"SKF_EnumDev", 3}}));
}

}  // namespace
