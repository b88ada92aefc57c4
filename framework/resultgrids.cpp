// Result grids and their cumulative statistic companions.
#include "framework/diagstream.h"
#include "framework/modelobject.h"

void modelobject::WriteStatisticGrids(int position, int /*ownCellsOnly*/, int /*accumulateOnly*/) {
  if (!gridlist || position < 1 || position > kGridListMax) return;
  const GridListEntry& e = gridlist[position];
  if (e.writecode == 0 || !e.grid) return;
  *diag << "FATAL: the statistic output of " << e.shortname.c_str()
        << " (write code " << e.writecode << ") is not available in this build" << "[end-entry]";
  throw 26;
}
