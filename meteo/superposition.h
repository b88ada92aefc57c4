// Regional superposition: new grids as region-weighted mixtures of existing
// grids. Each entity has one output grid; in a cell it is the sum over the
// cell's (up to three) regions of the region's share of the cell times the mix
// of the input grids with that region's weights.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "framework/statregistry.h"
#include "framework/teilmod.h"

class zonalstatistic;
class RegionalSuperposition;

class cSuperposition {
 public:
  // Parses and checks the entity text, creates the output grid and the statistics.
  cSuperposition(RegionalSuperposition* owner, const std::string& text);
  virtual ~cSuperposition();
  cSuperposition(const cSuperposition&) = delete;
  cSuperposition& operator=(const cSuperposition&) = delete;

  virtual void WriteGrids();
  virtual void WriteStatistics();
  virtual void Superpose(int64_t hour, int64_t day, int64_t month, int64_t year);
  virtual void FreeBuffers();
  // Releases the output grid and its grid-list entry without writing anything.
  void Discard();

  const std::string& GetName() const { return Name; }
  Grid GetOutputGrid() const { return Output; }
  int GetOutputPosition() const { return OutputPosition; }
  int GetItemCount() const { return static_cast<int>(Items.size()); }

 private:
  struct Item {
    std::string gridName;
    Grid grid = nullptr;
    int position = 0;
    std::vector<int> regions;     // 1 ... N
    std::vector<double> weights;  // 1 ... N
  };
  // Value of key (searched from `from`): the text between the "=" that follows
  // the key and the next ";". Moves `from` behind the ";". False when the key
  // is not found.
  bool Value(const std::string& key, size_t& from, std::string& value) const;
  [[noreturn]] void FormatError(const std::string& what) const;
  int RegionPosition(double code) const;
  void MakeStatistics();

  RegionalSuperposition* Owner;
  std::string Name;
  std::string Text;
  std::vector<Item> Items;
  Grid Output = nullptr;
  int OutputPosition = 0;
  int64_t OutputLow = 0;
  int64_t OutputHigh = -1;
  std::string OutputFile;
  int WriteCode = 0;
  std::string TableFile;
  int StatCode = 0;
  std::vector<ZoneRecord> Zones;
  zonalstatistic* Statistics = nullptr;
  Grid RegionGrid[4] = {nullptr, nullptr, nullptr, nullptr};  // sets 1 ... 3
  Grid ShareGrid[4] = {nullptr, nullptr, nullptr, nullptr};
  int64_t Date[4] = {0, 0, 0, 0};  // hour, day, month, year of the step
};

class RegionalSuperposition : public teilmodellklasse {
 public:
  // regionTable maps a region code 0 ... maxRegionCode to its position
  // 1 ... regionCount (0: no region). Failures are thrown.
  RegionalSuperposition(DiagStream* diagnostics, const std::string& workFileName, const SubModelArgs& common,
                        int regionCount, const int* regionTable, int maxRegionCode, StatRecord* registry,
                        int registryCapacity);
  ~RegionalSuperposition() override = default;

  void FreeMemory() override;
  void run(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear) override;
  virtual void WriteGrids();
  virtual void WriteStatistics();

  int GetEntityCount() const { return static_cast<int>(Entities.size()); }
  cSuperposition* GetEntity(int i) { return Entities[static_cast<size_t>(i)].get(); }

 private:
  friend class cSuperposition;
  int NumberOfEntities = 0;
  std::vector<std::unique_ptr<cSuperposition>> Entities;
  int RegionCount = 0;
  std::vector<int> RegionTable;  // by code 0 ... maxRegionCode; empty: no region table
  StatRecord* Registry = nullptr;
  int RegistryCapacity = 0;
};
