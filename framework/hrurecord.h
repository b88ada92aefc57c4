// One hydrologic response unit of the SpinUp mode: cells that fall into the
// same classes of the chosen grids share the states of the unit's master cell.
#pragma once

#include <cstdint>
#include <string>

#include "framework/types.h"

struct HRURecord {
  uint64_t number = 0;  // 1, 2, ... ; record 0 of a list is empty
  std::string key;      // class of each definition grid, "%04.0lf'" each
  int row = 0;          // master cell: the first cell of the unit in the instance's scan order
  int column = 0;
};
