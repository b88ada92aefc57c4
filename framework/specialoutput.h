// The special output: point time series of any registered grid or stack.
//
// Section "[special_output]" lists output files; each file lists entities (a
// grid or stack name and points given by map coordinates, for stacks with a
// level per point). Every step appends one row with the date and the value at
// every point. Rows are buffered per file (about 2 MiB) and reduced to
// instance 0 with a maximum, so each instance contributes the cells it owns and
// the others give -9999.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "framework/teilmod.h"

class SpecialOutputClass;
class SpecialOutputFile;

// One entity block: a grid or stack and its points.
class SpecialOutputEntity {
 public:
  // Reads the items of text and places the points on the model grid; throws
  // 1006, 1007, 1008 (with a FATAL entry) or 104 for an unreadable item.
  SpecialOutputEntity(SpecialOutputFile& owner, const std::string& text);

  int PointCount() const { return static_cast<int>(columns.size()); }
  const std::string& GetID() const { return ID; }
  const std::string& GetSymbol() const { return Symbol; }
  int GetGridIndex() const { return gridindex; }
  bool IsSubStepEntity() const { return substepentity; }
  bool HasLevels() const { return !levels.empty(); }

 private:
  friend class SpecialOutputFile;
  std::string ID;
  std::string Symbol;
  std::vector<double> X;
  std::vector<double> Y;
  std::vector<int> levels;
  std::vector<int> columns;  // 1-based grid column per point
  std::vector<int> rows;     // 1-based grid row per point, counted from the north edge
  int gridindex = 0;         // grid-list position, 0 when the grid is not registered
  bool substepentity = false;
};

// One output file: its entities and its row buffer.
class SpecialOutputFile {
 public:
  // Bytes of row buffer per file.
  static constexpr int64_t kBufferBytes = 2097152;

  // Builds the file from its block text and, on instance 0, creates the file
  // with its three header lines.
  SpecialOutputFile(SpecialOutputClass& owner, const std::string& block, const std::string& outputDirectory);
  // Rows still buffered here were never written (the module writes them when
  // it is released): they are reported, not written, as writing is collective.
  ~SpecialOutputFile();
  SpecialOutputFile(const SpecialOutputFile&) = delete;
  SpecialOutputFile& operator=(const SpecialOutputFile&) = delete;

  void Collect(int64_t hour, int64_t day, int64_t month, int64_t year, bool subStepCall, int subStepIndex);
  // Appends the buffered rows to the file (collective over all instances).
  // When instance 0 cannot open or write the file, every instance throws the
  // code together (65, 18).
  void Write();

  int PointCount() const { return pointcount; }
  int64_t Capacity() const { return capacity; }
  int64_t BufferedRows() const { return rowcount; }
  const std::string& FileName() const { return filename; }
  const std::string& Header() const { return header; }
  const std::vector<std::unique_ptr<SpecialOutputEntity>>& Entities() const { return entities; }
  SpecialOutputClass& Owner() const { return owner; }

 private:
  struct Row {
    int64_t year = 0;
    int64_t month = 0;
    int64_t day = 0;
    int64_t hour = 0;
    std::vector<double> values;  // 1 ... point count
  };
  // Instance 0: creates the file with its header lines; false (after the
  // FATAL entry) when it cannot.
  bool WriteHeader();
  // Value of one point of an entity on this instance, -9999 when it is not ours.
  double PointValue(const SpecialOutputEntity& entity, int k) const;

  SpecialOutputClass& owner;
  DiagStream* diag;
  int pointcount = 0;
  std::vector<Row> rows;  // 1 ... capacity
  int64_t capacity = 0;
  int64_t rowcount = 0;
  std::string header;
  std::string filename;
  std::vector<std::unique_ptr<SpecialOutputEntity>> entities;
  bool newrow = true;
};

class SpecialOutputClass : public teilmodellklasse {
 public:
  // Reads "[special_output]" of the work file. Every failure is stored in
  // error (1006, 1007, 1008, 104 for a missing item or an end of file inside
  // a block, or the code of a file that cannot be created); nothing is thrown
  // except by the section head of the base.
  SpecialOutputClass(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
                     const std::string& workFileName, const SubModelArgs& common, const std::string& outputDirectory,
                     int subSteps);
  ~SpecialOutputClass() override;

  // One collection: inside the sub-step loop with subStepCall set and the
  // index 1, 2, ...; after the step with false and 0 (the row is closed then).
  virtual void Collect(int64_t hour, int64_t day, int64_t month, int64_t year, bool subStepCall, int subStepIndex);
  // Writes every file that holds buffered rows.
  virtual void Flush();
  // Releases the files (writing what is still buffered) and empties the list.
  void FreeMemory() override;

  int FileCount() const { return static_cast<int>(files.size()); }
  SpecialOutputFile& File(int i) { return *files[static_cast<size_t>(i)]; }

  // ---- what the files and entities read of the model ----
  int Rank() const { return mpirank; }
  int Columns() const { return ncols; }
  int RowCount() const { return nrows; }
  int FirstRow() const { return firstrow; }
  int LastRow() const { return lastrow; }
  double Xll() const { return xllcorner; }
  double Yll() const { return yllcorner; }
  double CellSize() const { return cellsize; }
  GridListEntry* List() const { return gridlist; }
  int SubStepCount() const { return substeps; }
  // Owner instance of a cell by "MPIRegions"; -1 when this instance holds no
  // data for the row. Without an owner grid every row of this instance is ours.
  int CellOwner(int row, int column) const;
  // Places a path in the output directory (error 104 when it is too long).
  void OutputPath(const std::string& directory, std::string& path) { MakePath(directory, path, 104); }

 private:
  void ReadSection(const std::string& outputDirectory);
  // The next file block: from its first non-blank line to its closing brace.
  std::string ReadBlock(int fileNumber);

  std::vector<std::unique_ptr<SpecialOutputFile>> files;
  int regionsindex = 0;  // grid-list position of "MPIRegions"
};
