// Which fault applies to which frame, and the pieces a reply is paced in.
#include <gtest/gtest.h>

#include "module_reply.h"

namespace testbed {
namespace {

using Kind = Fault::Kind;

Fault MakeFault(Kind kind, int command, int occurrence, uint8_t status = 0x33) {
  Fault fault;
  fault.kind = kind;
  fault.command = command;
  fault.occurrence = occurrence;
  fault.status = status;
  return fault;
}

TEST(ModuleFaultMatch, ByCommandAndOccurrence) {
  const std::vector<Fault> faults{MakeFault(Kind::kSilence, 0x73, 2)};
  EXPECT_EQ(reply::MatchFault(faults, 0x73, 1, 1), nullptr);
  EXPECT_EQ(reply::MatchFault(faults, 0x73, 2, 5), &faults[0]);
  EXPECT_EQ(reply::MatchFault(faults, 0x73, 3, 6), nullptr);
  EXPECT_EQ(reply::MatchFault(faults, 0x74, 2, 2), nullptr);
}

TEST(ModuleFaultMatch, AnyCommandCountsEveryFrame) {
  const std::vector<Fault> faults{MakeFault(Kind::kSilence, -1, 3)};
  EXPECT_EQ(reply::MatchFault(faults, 0x74, 3, 2), nullptr);
  EXPECT_EQ(reply::MatchFault(faults, 0x74, 1, 3), &faults[0]);
}

TEST(ModuleFaultMatch, OccurrenceZeroIsEveryTimeAndFirstMatchWins) {
  const std::vector<Fault> faults{MakeFault(Kind::kSilence, 0x73, 2),
                                  MakeFault(Kind::kAckStatus, 0x73, 0, 0x55),
                                  MakeFault(Kind::kOversize, -1, 0)};
  EXPECT_EQ(reply::MatchFault(faults, 0x73, 1, 1), &faults[1]);
  EXPECT_EQ(reply::MatchFault(faults, 0x73, 2, 2), &faults[0]);
  EXPECT_EQ(reply::MatchFault(faults, 0x74, 1, 3), &faults[2]);
}

TEST(ModuleFaultEffect, CommandRunsOnlyBehindAnAcceptingAck) {
  EXPECT_TRUE(reply::CommandRuns(nullptr));
  const Fault accept = MakeFault(Kind::kAckStatus, -1, 0, 0x33);
  const Fault refuse = MakeFault(Kind::kAckStatus, -1, 0, 0x55);
  const Fault silence = MakeFault(Kind::kSilence, -1, 0);
  const Fault after_ack = MakeFault(Kind::kSilentAfterAck, -1, 0);
  Fault lenient = MakeFault(Kind::kAckBytes, -1, 0);
  lenient.bytes = {0x00, 0x33};
  Fault odd = MakeFault(Kind::kAckBytes, -1, 0);
  odd.bytes = {0x3C, 0x00};
  Fault raw = MakeFault(Kind::kRawReply, -1, 0);
  raw.bytes = {0x3C, 0x33};
  EXPECT_TRUE(reply::CommandRuns(&accept));
  EXPECT_FALSE(reply::CommandRuns(&refuse));
  EXPECT_FALSE(reply::CommandRuns(&silence));
  EXPECT_TRUE(reply::CommandRuns(&after_ack));
  EXPECT_TRUE(reply::CommandRuns(&lenient));
  EXPECT_FALSE(reply::CommandRuns(&odd));
  EXPECT_FALSE(reply::CommandRuns(&raw));
}

TEST(ModuleFaultEffect, RefusedCommandGetsNoResponse) {
  const auto plan = reply::PlanReply(nullptr, CommandReply{0x55, true, {0x01}});
  EXPECT_EQ(plan.bytes, (Bytes{0x3C, 0x55}));
  ASSERT_EQ(plan.events.size(), 1u);
  EXPECT_EQ(plan.events[0].dir, WireEvent::Dir::kModuleToHost);
  EXPECT_EQ(plan.events[0].kind, WireEvent::Kind::kAck);
  EXPECT_EQ(plan.events[0].status, 0x55);
}

TEST(ModuleFaultEffect, HandlerMaySkipTheResponse) {
  const auto plan = reply::PlanReply(nullptr, CommandReply{0x33, false, {}});
  EXPECT_EQ(plan.bytes, (Bytes{0x3C, 0x33}));
}

TEST(ModulePacing, PiecesByFault) {
  const Bytes bytes{1, 2, 3, 4, 5};
  EXPECT_EQ(reply::Pieces(nullptr, bytes), std::vector<Bytes>{bytes});
  EXPECT_TRUE(reply::Pieces(nullptr, {}).empty());

  const Fault one_by_one = MakeFault(Kind::kByteByByte, -1, 0);
  EXPECT_EQ(reply::Pieces(&one_by_one, bytes),
            (std::vector<Bytes>{{1}, {2}, {3}, {4}, {5}}));

  Fault split = MakeFault(Kind::kSplit, -1, 0);
  split.cuts = {4, 1, 0, 9};  // unsorted; 0 and past-the-end cut nothing
  EXPECT_EQ(reply::Pieces(&split, bytes), (std::vector<Bytes>{{1}, {2, 3, 4}, {5}}));
}

TEST(ModulePacing, CutEveryAndChatterBytes) {
  EXPECT_EQ(reply::CutEvery({1, 2, 3, 4, 5}, 2), (std::vector<Bytes>{{1, 2}, {3, 4}, {5}}));
  EXPECT_EQ(reply::CutEvery({1, 2, 3}, 0), (std::vector<Bytes>{{1, 2, 3}}));
  const Bytes chatter = reply::ChatterBytes(258);
  ASSERT_EQ(chatter.size(), 258u);
  EXPECT_EQ(chatter[0], 0x00);
  EXPECT_EQ(chatter[255], 0xFF);
  EXPECT_EQ(chatter[256], 0x00);
}

}  // namespace
}  // namespace testbed
