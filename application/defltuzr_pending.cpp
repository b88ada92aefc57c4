// Set-up work that other parts of the build provide; each reports itself.
#include "application/defltuzr.h"
#include "framework/diagstream.h"

void defaultini::ReadIrrigation(int) { NotBuilt("the irrigation table"); }
void defaultini::generateMultiLayerParameterGrids(int) { NotBuilt("the land-use parameter grids"); }
void defaultini::check_irrig_Codes(int) { NotBuilt("the irrigation code check"); }
void defaultini::check_SOIL_Codes(int) { NotBuilt("the soil code check"); }
void defaultini::GetCouplingParameters() { NotBuilt("the external coupling"); }
void defaultini::CreateHRUs(int& spinUpSwitch, int& doTemperaturePreSpinUp, int& repeatCount) {
  NotBuilt("the SpinUp section and the hydrologic response units");
  spinUpSwitch = 0;
  doTemperaturePreSpinUp = 0;
  repeatCount = 0;
}
void defaultini::UpdateActualParameters(int64_t, int64_t, int64_t, int64_t, int) {}
void defaultini::LinkExternalEntities(StatRecord*, int) {}
