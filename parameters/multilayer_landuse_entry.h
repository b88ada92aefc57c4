// One multi-layer land-use type: the land-use codes of its vegetation
// layers (top first), a light extinction coefficient and a leaf-area scale.
#pragma once

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
