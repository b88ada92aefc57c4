// Set-up work that other parts of the build provide; each reports itself.
#include "application/defltuzr.h"
#include "framework/diagstream.h"

void defaultini::MakeCellSizeGrids() { NotBuilt("the cell size grids"); }
void defaultini::MakeCoordinateGrids() { NotBuilt("the coordinate grids"); }
void defaultini::LanduseLayers() { NotBuilt("the land-use layers"); }
void defaultini::make_nFK_kWert_and_Na() { NotBuilt("the soil parameter grids"); }
void defaultini::make_Slope_and_Aspect() { NotBuilt("slope and aspect"); }
void defaultini::check_ice_firn_grid() { NotBuilt("the ice and firn grid"); }
void defaultini::MakeRegionWeightGrids() { NotBuilt("the region weights"); }
void defaultini::GetCouplingParameters() { NotBuilt("the external coupling"); }
void defaultini::FreeDerivedGrids() {}
void defaultini::LinkExternalEntities(StatRecord*, int) {}
