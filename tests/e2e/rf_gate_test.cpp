// rf_gate: one request on the board I/O driver per word, exit status 0 whatever happens.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "board_test.h"

namespace e2e {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

struct WordCase {
  const char* word;
  uint32_t request;
  std::optional<int32_t> value;
  Lines out;
};

class RfGateWords : public BoardTest, public ::testing::WithParamInterface<WordCase> {};

TEST_P(RfGateWords, OneRequestPerWord) {
  const WordCase& c = GetParam();
  const auto r = Run("rf_gate", {c.word});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.OutLines(), c.out);
  const auto requests = io().requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].request, c.request);
  EXPECT_EQ(requests[0].value, c.value);
  EXPECT_THAT(module().wire_log(), IsEmpty());  // the port is never touched
}

INSTANTIATE_TEST_SUITE_P(
    Words, RfGateWords,
    ::testing::Values(WordCase{"1", 217, std::nullopt, {"RF_Gate --- 1, ret = 0"}},
                      WordCase{"0", 216, std::nullopt, {"RF_Gate --- 0, ret = 0"}},
                      WordCase{"app", 220, 0, {}}, WordCase{"cfg", 220, 1, {}},
                      WordCase{"fwu", 220, 2, {}}),
    [](const auto& tc) {
      return std::string(tc.param.word[0] == '1'   ? "PowerOn"
                         : tc.param.word[0] == '0' ? "PowerOff"
                                                   : tc.param.word);
    });

using RfGate = BoardTest;

TEST_F(RfGate, PowerAndModeFollowTheWords) {
  Run("rf_gate", {"0"});
  EXPECT_FALSE(io().power());
  Run("rf_gate", {"fwu"});
  EXPECT_EQ(io().mode(), 2);
  Run("rf_gate", {"1"});
  EXPECT_TRUE(io().power());
  Run("rf_gate", {"cfg"});
  EXPECT_EQ(io().mode(), 1);
}

TEST_F(RfGate, InvalidArgumentsTouchNothing) {
  const std::vector<std::vector<std::string>> calls = {
      {}, {"1", "0"}, {"APP"}, {"01"}, {""}, {"on"}, {"1 "}, {"Fwu"}};
  for (const auto& args : calls) {
    const auto r = Run("rf_gate", args);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_THAT(r.OutLines(), ElementsAre("Invalid Arguments!")) << args.size();
  }
  EXPECT_THAT(io().requests(), IsEmpty());
}

TEST_F(RfGate, FailingDriverShowsOnlyInThePowerLine) {
  io().SetFailing(true);
  auto r = Run("rf_gate", {"1"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_THAT(r.OutLines(), ElementsAre("RF_Gate --- 1, ret = -1"));
  r = Run("rf_gate", {"cfg"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_THAT(r.OutLines(), IsEmpty());
  EXPECT_EQ(io().requests().size(), 2u);
}

TEST_F(RfGate, MissingDriver) {
  io().SetPresent(false);
  for (const char* word : {"1", "app"}) {
    const auto r = Run("rf_gate", {word});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_THAT(r.OutLines(), ElementsAre("RF_Gate Control Fail."));
  }
  EXPECT_THAT(io().requests(), IsEmpty());
}

}  // namespace
}  // namespace e2e
