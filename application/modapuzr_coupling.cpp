// The external coupling in the time loop: at the start of a step the run
// waits for the external program and reads its grids, after the end test it
// writes the grids and statistics of the period and informs the program.
#include "application/defltuzr.h"
#include "application/modapuzr.h"
#include "meteo/meteointerpol.h"
#include "soil/unsatzon.h"

namespace {

// True when the period letter says that a new period began between the two dates.
bool PeriodChanged(char period, int64_t hour, int64_t day, int64_t month, int64_t year, int64_t lastHour,
                   int64_t lastDay, int64_t lastMonth, int64_t lastYear) {
  switch (period) {
    case 'I':
      return true;
    case 'H':
      return hour != lastHour;
    case 'D':
      return day != lastDay;
    case 'M':
      return month != lastMonth;
    case 'Y':
      return year != lastYear;
    default:
      return false;
  }
}

}  // namespace

void ModellApplication::CouplingReadSide() {
  if (!setup->IsCouplingActive()) return;
  couplingPeriod = setup->GetExternalGridMode();
  if (!PeriodChanged(couplingPeriod, hour, day, month, year, syncHour, syncDay, syncMonth, syncYear)) return;
  WaitForFile(setup->GetSemaphoreFileName(), setup->GetWaitInterval());
  syncHour = hour;
  syncDay = day;
  syncMonth = month;
  syncYear = year;
  setup->ReadExternalGrids(year, month, day, hour);
  if (setup->HasGWTableExtern()) unsatzone->ApplyExternalGWTable(setup->GetExternalTimeStep());
}

void ModellApplication::CouplingWriteSide() {
  if (!setup->IsCouplingActive()) return;
  // The date of the record just read: the next step's. The step's own date
  // stays: the time loop flushes the statistics by it after the step.
  int64_t nextHour = hour, nextDay = day, nextMonth = month, nextYear = year;
  if (interpolators.size() > 1) interpolators[1]->GetDate(nextHour, nextDay, nextMonth, nextYear);
  couplingPeriod = setup->GetExternalGridMode();
  const bool write = couplingPeriod == 'I' || endflag == 1 ||
                     (couplingPeriod != 'I' && PeriodChanged(couplingPeriod, nextHour, nextDay, nextMonth, nextYear,
                                                             syncHour, syncDay, syncMonth, syncYear));
  if (!write) {
    setup->AccumulateExternalGrids();
    return;
  }
  const bool endOfDay = nextDay != syncDay || endflag == 1;
  const bool endOfMonth = nextMonth != syncMonth || endflag == 1;
  const bool endOfYear = nextYear != syncYear || endflag == 1;
  setup->WriteExternalGrids(static_cast<int>(syncDay), static_cast<int>(syncMonth), static_cast<int>(syncYear),
                            endOfDay, endOfMonth, endOfYear);
  WriteSemaphoreFile(setup->GetInformSemaphoreFileName(), setup->GetInformSemaphoreContent());
}
