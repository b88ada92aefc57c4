// Writer of a zonal statistics file: per step (or per period of steps) the
// area-weighted mean of a grid over every zone and over the whole domain, one
// line per period, buffered in memory and appended in blocks.
//
// File format (values with "%.*f" and the precision, "%.6g" for precision 99 or more):
//   YY  MM  DD  HH  "code" ... tot_average
//   <model>_submodel:<statistic>
//   --  --  --  --  <relative area> ... 1.0000
//   <year> <month> <day> <hour> <value> ... <total>
//   <year> <month> <day> <hour> <value> ... <total>  # partial: 6 of 24 steps
//
// A period counts its steps from the start of the run (or from the line
// before). A run that ends inside a period writes that period's steps as a
// last line of their own, dated with the last step and marked by the comment
// after its values.
//
// Per step, on every instance: NewStep, AddCell for each own cell, Reduce.
// Lines, headers and files exist only on instance 0.
#pragma once

#include <mpi.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "framework/memory_handling.h"
#include "framework/statregistry.h"
#include "framework/types.h"

class DiagStream;

class zonalstatistic {
 public:
  // Bytes of line buffer per writer.
  static constexpr int64_t kBufferBytes = 2097152;

  // statCode: type * 1000 + period; below 1001 the writer is inactive. The
  // zone records (0 ... zoneCount) stay the creator's. listCodes holds the
  // output-list codes at 1 ... listCount (element 0 is not read). error: 0, or
  // 1 when the code, the output list or the memory is not usable.
  zonalstatistic(int& error, DiagStream* diagnostics, StatRecord* registry, int capacity, Grid areaGrid, int rows,
                 int columns, ZoneRecord* records, int zoneCount, int statCode, int precision,
                 const std::string& fileName, const std::string& outputDirectory, int listCount, const int* listCodes);
  virtual ~zonalstatistic() = default;
  zonalstatistic(const zonalstatistic&) = delete;
  zonalstatistic& operator=(const zonalstatistic&) = delete;

  virtual void Open(const char* mode);
  virtual void Close();
  virtual void Flush();
  // Adds one cell of zone k (0 ... number of zones) with weight w. A missing
  // value (not greater than -9999) is skipped; so is a value that is no
  // number (NaN or infinite), which is reported as an error with the step.
  virtual void AddCell(int row, int column, int k, double value, double w);
  // The same for a quantity that is summed up over time (a cumulative
  // balance): every finite value counts, also one at or below -9999; the
  // caller leaves out the cells that have none.
  void AddAmount(int row, int column, int k, double value, double w);
  class RowSums;
  virtual void NewStep();
  // Sums the records over the instances (reduceFlag > 0, collective) and, on
  // instance 0, buffers a line when the period is complete.
  virtual void Reduce(int64_t year, int64_t month, int64_t day, int64_t hour, int reduceFlag);
  // Truncates the file, writes the three header lines and enters the writer
  // in the registry. Returns the record taken, or -1 (inactive, not instance
  // 0, or no free record).
  virtual int WriteHeader(const std::string& modelName, const std::string& statisticName, StatRecord* registry,
                          int capacity);
  // Writes the steps of a period that the run ended inside of as a partial
  // line, what is buffered, releases the buffers and frees the registry
  // records that point to them. Called at the end of a run.
  virtual void Finish();

  // MPI user operator on records of five doubles: adds n, sx and RelCellSum of
  // in to inout; zonenwert and rel of inout stay.
  static void AddRecords(void* in, void* inout, int* len, MPI_Datatype* datatype);

  bool IsActive() const { return active; }
  int GetType() const { return type; }
  int GetPeriod() const { return period; }
  int64_t GetLineCapacity() const { return capacity; }
  int64_t GetBufferedLines() const { return lines; }
  const std::string& GetFileName() const { return filename; }
  // Values of the last line, slots 1 ... GetSlotCount().
  const double* GetCurrentValues() const { return current.data(); }
  int GetSlotCount() const { return slots; }

 protected:
  [[noreturn]] void Fatal(const std::string& message, int code);
  // Number of zone columns of a line (without the total).
  int ZoneColumns() const;
  // Adds a value known to be one to zone k.
  void AddValue(int row, int column, int k, double value, double w);
  // Appends one value to the line being built and keeps it as current value.
  void AppendValue(double value);
  // Ends the line of a period: clears the carried sums, flushes a full buffer.
  void EndLine();
  // Begins a buffered line of the date; partialSteps > 0 marks it partial.
  void BeginLine(const int64_t* date, int partialSteps);
  // Instance 0: the records hold the sums of the steps since the last line
  // (the carry added); buffers the line of zone means and total.
  void BufferZoneLine(const int64_t* date, int partialSteps);
  // Instance 0 at the end of the run: the carried steps of an unfinished
  // period into the records; false when there are none.
  bool RestoreUnfinishedPeriod();
  // Remembers a cell whose value is no number (count such cells, this the
  // first of them); ReportInvalid tells it once. Threads that fill different
  // zones of the statistic may note at once: the cell first in row order is
  // kept, as one thread going through the rows would keep it.
  void NoteInvalid(int row, int column, int k, double value, int64_t count = 1);
  void ReportInvalid(int64_t year, int64_t month, int64_t day, int64_t hour);
  // Enters a descriptor in the first free record; returns it or -1.
  int Register(StatRecord* registry, int capacity, const int64_t* date, int slotCount, double* values,
               double* accumulator, double* areas, const char* text, int64_t* codes);
  static int MpiRank();
  // Checked formatted write to the open file (error 18).
  void Print(const char* format, ...) __attribute__((format(printf, 2, 3)));

  DiagStream* diag = nullptr;
  bool ok = false;
  bool active = false;
  int type = 0;
  int period = 0;
  int precision = 5;
  std::string filename;
  std::FILE* file = nullptr;

  Grid areagrid = nullptr;
  int rows = 0;
  int columns = 0;
  ZoneRecord* records = nullptr;
  int zones = 0;

  int listcount = 0;           // listed columns: min(zones, listed codes)
  std::vector<int> listcodes;  // 1 ... listcount
  std::vector<int> columnmap;  // column 1 ... listcount -> zone

  int slots = 0;  // value slots: 2 for types 1 and 3, else columns + 1

  // Line buffer: per line the date and lineWidth values (used from 1).
  int64_t capacity = 0;
  int64_t lines = 0;
  int linewidth = 0;
  std::vector<int64_t> linedates;  // 4 per line
  std::vector<double> linevalues;  // linewidth per line
  int column = 0;                  // values in the line being built

  int64_t lastdate[4] = {0, 0, 0, 0};  // year, month, day, hour of the last line
  int64_t stepdate[4] = {0, 0, 0, 0};  // of the last step (instance 0)
  std::vector<int> linepartial;        // per buffered line: steps of a partial period, else 0

  // Descriptor of the output (slots 1 ... slots).
  std::vector<double> current;
  std::vector<double> accumulator;
  std::vector<double> relareas;
  std::vector<int64_t> codes;
  std::string description;
  // Registry records that point into this writer; freed again by Finish.
  std::vector<StatRecord*> entered;

  // Carry of n, sx and RelCellSum per zone over the steps of a period.
  std::vector<double> carryn;
  std::vector<double> carrysx;
  std::vector<double> carryrel;

  // Sums over a period (types 3, 4 and 6): the sum of the step means of the
  // valid cells, so that a daily line is the sum of the hourly ones also when
  // cells are missing in some hours. A zone (or the basin) without any valid
  // cell in one of the period's steps has no sum: the missing value. Per zone
  // 1 ... zones and the basin at zones + 1: the sum of the step means, the
  // valid area of the first step and the state bits below.
  bool SumsOverPeriod() const { return type == 3 || type == 4 || type == 6; }
  void NoteStepOfSum();
  // The period's sum of zone k (zones + 1: the basin) from the summed values
  // sx over the last step's valid area rel.
  double PeriodSum(int k, double sx, double rel) const;
  static constexpr unsigned char kSumStarted = 1;
  static constexpr unsigned char kSumAreaVaried = 2;
  static constexpr unsigned char kSumMissing = 4;
  std::vector<double> summeans;
  std::vector<double> sumrelfirst;
  std::vector<unsigned char> sumstate;

  int stepcounter = 0;

  // Values that are no number in the current step (this instance), the first
  // of them, and whether the file has reported one.
  int64_t invalidcount = 0;
  int invalidrow = 0;
  int invalidcolumn = 0;
  int invalidzone = 0;
  double invalidvalue = 0;
  bool invalidreported = false;
  std::mutex invalidlock;
};

// The cells of one row added to a statistic without a call per cell: Add
// takes a cell as AddCell does, with the same floating-point operations in
// the same order, so the sums come out bit for bit as with AddCell. The
// checks of the statistic and the row are made once; the sums of the zone
// in hand stay in locals while the cells keep to that zone and go back to
// the records when the zone changes and at the end. Values that are no
// number are noted at the end too (the first of them, and how many), so the
// loop over the cells makes no call. Cells of a row in column order, the
// rows in order, give the sums of a serial AddCell loop. While a RowSums is
// alive, nothing else may add to the statistic.
class zonalstatistic::RowSums {
 public:
  RowSums(zonalstatistic& statistic, int row)
      : owner(&statistic),
        records(statistic.records),
        area(statistic.areagrid && row >= 1 && row <= statistic.rows ? statistic.areagrid[row] : nullptr),
        row(row),
        columns(statistic.columns),
        zones(statistic.active ? statistic.zones : -1) {}
  ~RowSums() {
    Store();
    if (invalid > 0) owner->NoteInvalid(row, invalidcolumn, invalidzone, invalidvalue, invalid);
  }
  RowSums(const RowSums&) = delete;
  RowSums& operator=(const RowSums&) = delete;

  void Add(int column, int k, double value, double w) {
    if (k != zone) {
      if (k < 0 || k > zones) return;
      Store();
      zone = k;
      n = records[k].n;
      sx = records[k].sx;
      rel = records[k].RelCellSum;
    }
    // A finite value above the missing value counts; of the rest, what is
    // no number is noted as AddCell notes it.
    if (value > kNodata && value <= std::numeric_limits<double>::max()) {
      n += w;
      // Cells without a valid area value count with area 1.
      if (area && column >= 1 && column <= columns && area[column] > kNodata) {
        const double a = area[column];
        sx += value * a * w;
        rel += a * w;
      } else {
        sx += value * w;
        rel += w;
      }
    } else if (!std::isfinite(value) && invalid++ == 0) {
      invalidcolumn = column;
      invalidzone = k;
      invalidvalue = value;
    }
  }

 private:
  void Store() {
    if (zone < 0) return;
    ZoneRecord& r = records[zone];
    r.n = n;
    // Stored on its own: kept apart, the sums are not packed in a vector
    // register for the stores, which would lengthen every add by two moves.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    r.sx = sx;
    r.RelCellSum = rel;
  }

  zonalstatistic* owner;
  ZoneRecord* records;
  const double* area;  // the row of the area grid, or none
  int row;
  int columns;
  int zones;      // -1 for an inactive statistic: no cell is taken
  int zone = -1;  // the zone whose sums are in hand
  double n = 0, sx = 0, rel = 0;
  // Values that were no number, and the first of them.
  int64_t invalid = 0;
  int invalidcolumn = 0, invalidzone = 0;
  double invalidvalue = 0;
};
