// One record of the irrigation table of [irrigation_table]. The table holds
// count + 1 records; record 0 holds only the count in its code field.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct IrrigationTable {
  int code = 0;
  std::string name;    // at most 50 characters
  int method = 0;      // 1 fixed schedule, 2 schedule rules, 4 ETR/ETP ratio, others by suction
  int origin = 0;      // source of the water, interpreted by the irrigation sub-model
  double psi_dry = 0;  // suction that starts (psi_dry) and ends (psi_wet) an irrigation
  double psi_wet = 0;
  double min_etr_etp = 0;      // method 4: ratio below which irrigation starts
  int n = 0;                   // events of the schedule (methods 1 and 2)
  std::vector<int64_t> month;  // 1 ... n, element 0 unused
  std::vector<int64_t> day;
  std::vector<double> amount;  // mm per irrigation event
};
