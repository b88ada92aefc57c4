// The fluvex program builds the routing network of the small basin (zones
// 3, 7 and 12) and ends with a clear entry when no runoff reaches it or when
// its descriptions are out of order.
#include <gtest/gtest.h>

#include "tests/application/basins.h"
#include "tests/support/testutil.h"

TEST(RoutingRun, NetworkIsBuiltAndMissingRunoffEndsTheRun) {
  fluvextest::SmallBasin basin("routing_run");
  const std::string channel = " (kh = 2, kv = 5, Bh = 5, Bv = 20, Th = 1, Mh = 25, Mv = 15, I = 0.002, L = 500, AE = ";
  basin.Edit("[routing_model]\n0\n$time\n",
             "[routing_model]\n1\n$time\n0.1 1000 10 2\nqstat.sta 2001\nnone.txt\n0\n0\n"
             "TG 12 (area = 0.05, rel = 1)\nOL 3" +
                 channel + "0.03)\nOL 7" + channel + "0.02)\n\n");
  const auto r = fluvextest::RunFluvex("control.txt", basin.dir.path());
  EXPECT_EQ(r.exitCode, 43) << r.output;
  EXPECT_NE(r.output.find("No valid discharges for discharge routing!"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("number inbetween areas (routings)    : 1"), std::string::npos);
  // Codes 3 and 7 are the subbasins 1 and 2 of the zone table.
  EXPECT_NE(fluvextest::ReadFile(basin.dir / "wq_table.001").find("channel of subbasin 3 to the outlet of subbasin 12"),
            std::string::npos);
  EXPECT_TRUE(fluvextest::FileExists(basin.dir / "wq_table.002"));
  // Subbasin 12 collects 3 + 3 + 2 cells of 0.01 km2: the area of the description is adjusted.
  EXPECT_NE(r.output.find("area in contr.file: 0.05 <-> zone-grid 0.08"), std::string::npos) << r.output;
}

TEST(RoutingRun, ASubbasinDescribedAfterTheOneItFlowsIntoEndsTheRun) {
  // 3 flows into 7 and 7 into 12, but 12 is described first: it would take
  // the raw runoff of 7 past 7's channel.
  fluvextest::SmallBasin basin("routing_order");
  const std::string channel = " (kh = 2, kv = 5, Bh = 5, Bv = 20, Th = 1, Mh = 25, Mv = 15, I = 0.002, L = 500, AE = ";
  basin.Edit("[routing_model]\n0\n$time\n",
             "[routing_model]\n1\n$time\n0.1 1000 10 2\nqstat.sta 2001\nnone.txt\n0\n0\n"
             "TG 12 (area = 0.08, rel = 1)\nOL 7" +
                 channel + "0.05)\nTG 7 (area = 0.05, rel = 1)\nOL 3" + channel + "0.03)\n\n");
  const auto r = fluvextest::RunFluvex("control.txt", basin.dir.path());
  EXPECT_EQ(r.exitCode, 41) << r.output;
  EXPECT_NE(r.output.find("routing description 1 (TG 12) takes the outflow of subbasin 7, which routing "
                          "description 2 (TG 7) routes after it: describe subbasin 7 before subbasin 12"),
            std::string::npos)
      << r.output;
}
