// Types and calendar functions shared by every model object.
#pragma once

#include <cstdint>
#include <vector>

#include "framework/memory_handling.h"

// Missing value of grids, tables and dates. A cell not greater than it is
// skipped by every sum, mean, minimum, maximum and zonal statistic.
constexpr double kNodata = -9999.0;

// One entry of the border-exchange lists: row, first column, number of cells
// and the peer instance.
struct HaloEntry {
  int row;
  int firstColumn;
  int count;
  int peer;
};
using HaloList = std::vector<HaloEntry>;

// First and last data column of one row; a row without data has first 0, last -1.
struct ColumnRange {
  int first;
  int last;
};

// Per-zone record of the zonal statistics, combined over the instances.
struct ZoneRecord {
  double n;
  double sx;
  double zonenwert;
  double rel;
  double RelCellSum;
};

struct HRURecord;

// year * 93000 + month * 7750 + day * 250 + hour: orders valid dates (hour 0 ... 24).
constexpr int64_t DateKey(int64_t year, int64_t month, int64_t day, int64_t hour) {
  return year * 93000 + month * 7750 + day * 250 + hour;
}

// Gregorian calendar, the one calendar of the model.
constexpr bool IsLeapYear(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }
constexpr int DaysInMonth(int64_t year, int64_t month) {
  constexpr int lengths[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : lengths[month];
}
// The date k days after (k < 0: before) year-month-day, in place.
constexpr void ShiftDate(int64_t& year, int64_t& month, int64_t& day, int64_t k) {
  for (; k > 0; --k)
    if (++day > DaysInMonth(year, month)) {
      day = 1;
      if (++month > 12) month = 1, ++year;
    }
  for (; k < 0; ++k)
    if (--day < 1) {
      if (--month < 1) month = 12, --year;
      day = DaysInMonth(year, month);
    }
}
// Day of the year, 1 January = 1.
constexpr int DayOfYear(int64_t year, int64_t month, int64_t day) {
  int n = static_cast<int>(day);
  for (int m = 1; m < month && m <= 12; ++m) n += DaysInMonth(year, m);
  return n;
}
