// The grids of the soil surface that silting-up and surface routing both read.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "framework/modelobject.h"
#include "parameters/multilayer_landuse_entry.h"

// Binds the land-use and vegetation-cover grids of every vegetation layer
// (1 ... layers; one layer without a multi-layer table) and returns the layer
// count. A missing grid is fatal through GetGrid.
inline int BindVegetationLayers(modelobject& object, const multilayer_landuse_entry* multilayerTable,
                                std::vector<Grid>& landuse, std::vector<Grid>& vegcover) {
  const int layers = VegetationLayerCount(multilayerTable);
  GridListEntry* list = object.GetGridList();
  landuse.assign(layers + 1, nullptr);
  vegcover.assign(layers + 1, nullptr);
  for (int k = 1; k <= layers; ++k) {
    landuse[k] = list[object.GetGrid("landuse" + std::to_string(k))].grid;
    vegcover[k] = list[object.GetGrid("vegetation_coverage_degree" + std::to_string(k))].grid;
  }
  return layers;
}
