// The statistics registry: every statistics writer of a run enters a
// descriptor of its output when it writes its header on instance 0, so that the
// external coupling can find a statistics output by its description text.
#pragma once

#include <cstdint>

// One record: pointers into the state of the writer that entered it. The
// arrays are indexed 1 ... slots. A record whose value array is null is free.
struct StatRecord {
  const int64_t* year = nullptr;  // date of the writer's last line
  const int64_t* month = nullptr;
  const int64_t* day = nullptr;
  const int64_t* hour = nullptr;
  int64_t slots = 0;              // number of value slots
  double* values = nullptr;       // the values of the last line
  double* accumulator = nullptr;  // summed by the external coupling
  double* relativeAreas = nullptr;
  const char* description = nullptr;  // "<model>_submodel:<statistic>"
  int64_t* codes = nullptr;           // zone code of each slot

  bool IsFree() const { return values == nullptr; }
};

// The application allocates kStatRegistryRecords records and hands
// kStatRegistryCapacity to every user; the last record stays free.
constexpr int kStatRegistryRecords = 201;
constexpr int kStatRegistryCapacity = 200;

// Index of the first free record among records 0 ... capacity - 1, or -1.
inline int FirstFreeStatRecord(const StatRecord* registry, int capacity) {
  if (!registry) return -1;
  for (int i = 0; i < capacity; ++i)
    if (registry[i].IsFree()) return i;
  return -1;
}
