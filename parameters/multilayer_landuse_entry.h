// One multi-layer land-use type: the land-use codes of its vegetation
// layers (top first), a light extinction coefficient and a leaf-area scale.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

class multilayer_landuse_entry {
 public:
  static constexpr int kMaxNameLength = 199;

  multilayer_landuse_entry() = default;
  explicit multilayer_landuse_entry(int entryCode) : code(entryCode) {}
  multilayer_landuse_entry(const multilayer_landuse_entry&) = delete;
  multilayer_landuse_entry& operator=(const multilayer_landuse_entry&) = delete;

  int GetCode() const { return code; }
  int GetLayerCount() const { return count; }
  // Layer codes as read, 1..count; null for an entry without layers.
  int* GetLayerCodes() { return Landuse_Layers.empty() ? nullptr : Landuse_Layers.data(); }
  // Layer codes, replaced by land-use table indexes by the set-up's code check.
  int* GetLayerIndexes() { return LayerIndexes.empty() ? nullptr : LayerIndexes.data(); }
  double GetKExtinct() const { return k_extinct; }
  double GetLAIScale() const { return LAI_scale; }

  std::string name;
  int code = 0;
  std::vector<int> Landuse_Layers;  // index 1..count
  int count = 1;
  std::vector<int> LayerIndexes;  // index 0..count
  double k_extinct = 0.3;
  double LAI_scale = 10.0;
};

// Vegetation layers of the run: those of the multi-layer table (entry 0 holds
// the table's size), at least 1; 1 without a table.
inline int VegetationLayerCount(const multilayer_landuse_entry* table) {
  return table && table[0].code >= 1 ? std::max(1, table[1].GetLayerCount()) : 1;
}
