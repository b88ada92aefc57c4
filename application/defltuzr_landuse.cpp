// The set-up object's share of the land-use parameter grids: it hands its
// geometry, decomposition, dates and tables to the grids (set-up step 14),
// forwards the per-step update of the time loop and releases them.
#include "application/defltuzr.h"
#include "framework/diagstream.h"

void defaultini::generateMultiLayerParameterGrids(int layers) {
  FreeLanduseParameterGrids();
  landuseparametergrids::Frame frame;
  frame.ncols = ncols;
  frame.nrows = nrows;
  frame.xllcorner = xllcorner;
  frame.yllcorner = yllcorner;
  frame.cellsize = cellsize;
  frame.nodata = nodata;
  frame.firstRow = firstrow;
  frame.lastRow = lastrow;
  frame.firstRowHalo = firstrowhalo;
  frame.lastRowHalo = lastrowhalo;
  frame.dataColumns = datacols;
  frame.regions = MPIRegions;
  frame.helper = MPIHelper;
  frame.startYear = startyear;
  frame.startMonth = startmonth;
  frame.startDay = startday;
  frame.endYear = endyear;
  frame.endMonth = endmonth;
  frame.endDay = endday;
  frame.endHour = endhour;
  frame.minToIntEndMinutes = mintointend;
  frame.reportInterval = outputcontrol >= 1 ? outputcontrol : GetReportInterval();
  const int albedoPosition = FindGrid("albedo", false);
  for (size_t i = 0; i < variablepositions.size() && i < variablereadswitch.size(); ++i)
    if (albedoPosition > 0 && variablepositions[i] == albedoPosition && variablereadswitch[i] == 1)
      frame.albedoRead = true;
  landuseparameters =
      std::make_unique<landuseparametergrids>(diag, ObjectArgs(), gridlist, frame, landusetable.get(), landuselayers);
  landuseparameters->Generate(layers);
}

void defaultini::UpdateActualParameters(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear,
                                        int stepMinutes) {
  if (landuseparameters) landuseparameters->UpdateActualParameters(stepHour, stepDay, stepMonth, stepYear, stepMinutes);
}

void defaultini::UpdateActualParametersNoTheta(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear,
                                               int stepMinutes) {
  if (landuseparameters)
    landuseparameters->UpdateActualParameters(stepHour, stepDay, stepMonth, stepYear, stepMinutes, false);
}

void defaultini::ComputeForcingUnits(int dayOfYear, int layerCount) {
  if (landuseparameters) landuseparameters->ComputeForcingUnits(dayOfYear, layerCount);
}

// Collective: writes the "MultipleStartTimes" stacks as "<name>_End".
void defaultini::FreeLanduseParameterGrids() {
  if (!landuseparameters) return;
  landuseparameters->FreeMemory();
  landuseparameters.reset();
}
