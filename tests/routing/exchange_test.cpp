// The river links between the instances: the uptake of the soil booked on
// every instance reaches the routing on instance 0, and the routed river
// flows reach every instance.
#include <mpi.h>

#include "tests/routing/routing_support.h"

namespace {

class ExchangeTest : public RoutingFixture {
 protected:
  ExchangeTest() : RoutingFixture("exchange") {}
};

TEST_F(ExchangeTest, UptakeIsSummedAndFlowsAreShared) {
  // A channel of hardly any delay or storage: the routed value of subbasin 2 is
  // half its own runoff and half what subbasin 1 sends through the channel.
  ASSERT_EQ(Build(Head() + "TG 2 (area = 2, rel = 1)\nOL 1" + Channel(0.01, 1, 1, 50) + "\nend\n"), 0);
  const int rank = fluvextest::MpiRank();
  const int size = fluvextest::MpiSize();
  std::vector<RiverflowTable> table(5, RiverflowTable{});
  if (rank == 0) {
    Start({0.5, 0.5, 0.5, 0.5});
  }
  model->SetRiverflowTable(table.data());
  // Each instance books 0.001 (rank + 1) m3/s taken from river 1.
  table[1].field[13] = 0.001 * (rank + 1);
  Step(0);
  double total = 0;
  for (int r = 0; r < size; ++r) total += 0.001 * (r + 1);
  if (rank == 0) {
    // (Its storage of 0.01 h holds back 1 % of the change of the step.)
    EXPECT_NEAR(Routed(2), 0.25 + 0.5 * (0.5 - total * 0.06 * 60 / 1.0), 0.01 * total * 0.06 * 60 + 1e-12);
  }
  // Every instance holds instance 0's river flows, and no uptake is booked twice.
  EXPECT_NEAR(table[1].field[10], 0.5 * 16.6666667 / 60, 1e-12);
  EXPECT_EQ(table[1].field[13], 0);
  EXPECT_DOUBLE_EQ(table[1].field[12], 1.0);
}

}  // namespace
