// Set-up step 6 on every instance: the division of the raster between the
// instances, after instance 0 has read the zone grid (grid-list entry 1).
#include "application/defltuzr.h"

void defaultini::CreateMPIRegions() {
  decomposition = std::make_unique<MPIDecomposition>(diag);
  Grid zone = mpirank == 0 ? gridlist[1].grid : nullptr;
  decomposition->CreateMPIRegions(*this, zone, ncols, nrows, nodata, &firstrow, &lastrow);
  firstrowhalo = decomposition->LowRow();
  lastrowhalo = decomposition->HighRow();
  cellcounts.assign(decomposition->CellCounts(), decomposition->CellCounts() + mpisize + 1);
  halosend = decomposition->SendList();
  haloreceive = decomposition->ReceiveList();
  // The set-up object exchanges grids itself from step 7 on.
  MPIRegions = decomposition->Regions();
  MPIHelper = decomposition->Helper();
  instanceCellCounts = cellcounts.data();
  haloSend = &halosend;
  haloReceive = &haloreceive;
}
