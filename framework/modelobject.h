// Base class of every model object that reads the control file or works on
// grids, and the shared grid list through which objects publish and find grids.
#pragma once

#include <cstdint>
#include <string>

#include "framework/controlfile.h"
#include "framework/memory_handling.h"
#include "framework/types.h"

class DiagStream;
class zonalstatistic;

// Grid-list capacity: positions 1 ... 999 hold grids; 1000 is refused.
constexpr int kGridListSize = 1001;
constexpr int kGridListMax = 1000;

// One position of the grid list. The list owns the names and the companion
// grids; the value grid and the stack belong to the object that registered them.
struct GridListEntry {
  Grid grid = nullptr;     // value grid, null when the entry holds a stack only
  Grid sumgrid = nullptr;  // sum/mean companion
  Grid mingrid = nullptr;  // minimum companion
  Grid maxgrid = nullptr;  // maximum companion
  Stack stack = nullptr;
  int levels = 0;        // levels of the stack
  std::string filename;  // empty: the entry is free
  std::string sumname;   // companion file names
  std::string minname;
  std::string maxname;
  std::string shortname;  // the key by which the entry is found
  // Digits of the write code w: kind = w % 10, sum/mean digit = (w % 100) / 10,
  // minimum and maximum flags from the hundreds digit (1 min, 2 max, 3 both),
  // vegetation digit = (w % 10000) / 1000.
  int kind = 0;
  int sumdigit = 0;
  int minflag = 0;
  int maxflag = 0;
  int vegdigit = 0;
  Grid veggrid = nullptr;  // vegetation-period companion
  std::string vegname;
  std::string filename2;    // second copy of the file name, made at the first registration
  int filename2marker = 0;  // 1 when RegisterGrid made the second copy
  int64_t firstrow = 0;     // rows of the grids of the entry
  int64_t lastrow = 0;
  bool registered = false;  // set by RegisterGrid: the position is occupied

  // Statistic output state.
  Grid sumcount = nullptr;  // per cell: values in the sum/mean companion (missing values are not counted)
  int minmaxstarted = 0;
  int stacklevelswitch = 0;
  double count = 0;  // calls since the last write of the sum/mean companion
  int vegwrite = 0;
  int vegreset = 0;
  Grid vegstart = nullptr;  // "VegetationStart", "VegetationStop", "VegetationDuration" of the layer
  Grid vegstop = nullptr;
  Grid vegduration = nullptr;
  int64_t datedcounter = 0;
  int64_t datedyear = 0;
  int64_t datedmonth = 0;
  int64_t datedday = 0;
  int64_t datedhour = 0;

  // Fields of the grid-list sections of the control file.
  int fillcode = 0;
  int readcode = 1;
  double defaultvalue = 0;
  int writecode = 0;
  std::string outname;   // name from which the statistic output grids are named
  std::string statfile;  // an entry naming one gets a zonal statistics writer
  int statcode = 0;
  int periodnumber = -1;
  std::string periodunit;
  int periodsecond = -1;
  std::string datedfilename;
  int periodcounter[2] = {0, 0};     // periods and steps counted by the periodic reading
  int periodmark[2] = {9999, 9999};  // last compared date part; steps a temporary grid has been in force
  bool persistent = true;
  int persistentsteps = 0;      // steps a non-persistent grid stays in force
  int periodicread = 0;         // 1 while a non-persistent grid is in force
  Grid periodiccopy = nullptr;  // values of a non-persistent grid, restored after its duration
  zonalstatistic* statistic = nullptr;
};

// Settings every model object receives from its creator.
struct ModelObjectArgs {
  bool WriteAsciiGrids = false;
  bool WriteDoubleGrids = false;
  std::string InitialStateDirectory;   // prefix of relative input paths
  std::string DefaultOutputDirectory;  // prefix of relative output paths
  const int64_t* instanceCellCounts = nullptr;
  const HaloList* haloSend = nullptr;
  const HaloList* haloReceive = nullptr;
  int SpinUp = 0;
  HRURecord* hru = nullptr;
};

class modelobject : public memory_handling {
 public:
  modelobject(DiagStream* diagnostics, const std::string& controlFileName, int unused, const ModelObjectArgs& args);
  virtual ~modelobject() = default;

  // ---- core ----
  virtual void WriteLog(const std::string& message);
  virtual void SetDate(int64_t year, int64_t month, int64_t day, int64_t hour);
  virtual void SetReportInterval(int hours) { reportinterval = hours; }
  virtual int GetReportInterval() { return reportinterval; }
  virtual double GetMinToIntEnd() { return mintointendhours; }
  virtual int FindGrid(const std::string& shortName, bool alsoStacks);
  virtual int GetGrid(const std::string& shortName);
  virtual int GetGridOf3(const std::string& a, const std::string& b, const std::string& c);
  virtual int GetGridOf4(const std::string& a, const std::string& b, const std::string& c, const std::string& d);

  // ---- control-file reading ----
  [[noreturn]] virtual void ControlFileError(const std::string& what, const std::string& where);
  // The same report followed by location (file, line and value where reading stopped).
  [[noreturn]] void ControlFileFatal(const std::string& what, const std::string& where, const std::string& location);
  [[noreturn]] virtual void WriteError(const std::string& fileName, int code);
  [[noreturn]] virtual void ReadError(const std::string& fileName, int code);
  // Reads the one value the format converts (e.g. "\t%d", "\t%lf", "%s");
  // a failure reports the label, the next word of the file and throws 17.
  // The rest of the line goes to lineBuffer.
  virtual int ReadValue(ControlFile& stream, const char* format, ScanTarget destination, const std::string& label,
                        std::string& lineBuffer);
  virtual int ReadValues2(ControlFile& stream, const char* format, ScanTarget destination1, ScanTarget destination2,
                          const std::string& label, std::string& lineBuffer);
  // Finds "[section]" as the first word of a line; the stream then stands at
  // the next line. Not found: 0, or error 17 when fatal is set.
  virtual int FindSection(const std::string& header, bool fatal);

  // ---- running statistics ----
  virtual void StatReset(double nodataValue);
  virtual void StatAdd(double value, double weight);
  virtual void StatResult(double& n, double& minimum, double& maximum, double& sum, double& mean, double& stddev);

  // ---- grid list ----
  virtual void RegisterGrid(int index, const std::string& fileName, Grid grid, Stack stack, int levels,
                            const std::string& shortName, int writeCode, int64_t firstRow, int64_t lastRow);
  virtual void UnregisterGrid(int index);
  virtual double LinInterpol(double x0, double y0, double x1, double y1, double x);
  virtual void SetInitialized(int flag) { initialized = flag; }
  // Updates and writes the statistic companions of an entry as its write code asks.
  virtual void WriteStatisticGrids(int position, int ownCellsOnly, int accumulateOnly);
  virtual void FreeMemory();

  // ---- grid files ----
  // Format codes of grid and stack files.
  static constexpr int kFloatFile = 0;
  static constexpr int kAsciiFile = 1;
  static constexpr int kDoubleFile = 2;
  static constexpr int kGifFile = 3;
  // Longest path (and file name) in characters.
  static constexpr size_t kMaxPathLength = 1200;

  // Puts directory in front of path unless the path begins with "/" or "~" or
  // no directory is given (the directory carries its own trailing separator).
  // A result longer than kMaxPathLength is fatal with tooLongCode.
  void MakePath(const std::string& directory, std::string& path, int tooLongCode = 21);
  // Reads an ASCII, float, double or GIF grid file (recognised by content) from
  // the input directory; collective over all instances unless local is set.
  // *grid is set when allocate is set and replaced when this instance keeps
  // only its own rows. fillMode: 1 fill holes from neighbours (strictHoles) or
  // with fillValue, 2 fill holes with fillValue, any other value no filling.
  virtual void ReadGrid(const std::string& fileName, Grid* grid, int fillMode, bool allocate, bool verbose,
                        bool strictHoles, bool keepWhole, bool local, bool withHalo, double fillValue);
  // Writes the grid to the output directory: ASCII, else binary double or float.
  // A null row is written as no-data.
  virtual void WriteGrid(const std::string& fileName, Grid grid, bool asciiFile, bool doubleFile);
  // As WriteGrid, after setting every cell outside the data columns of its row
  // to no-data in the given grid.
  virtual void WriteGrid2(const std::string& fileName, Grid grid, bool asciiFile, bool doubleFile);
  // Geometry of GIF input images: lower-left corner, cell size, optional mask in model geometry.
  void SetGifGeometry(double x, double y, double cellSize, Grid mask);
  // ncols, nrows, xllcorner, yllcorner, cellsize, nodata, count, minimum,
  // maximum, sum, average, standard deviation of the last grid file read or written.
  const double* GetFileHeader() const { return fileheader; }

  // ---- stack files ----
  // Binary files are written by all instances together (collective; each
  // writes the run of cells it owns), ASCII files by instance 0 alone from its
  // complete stack. levels: the highest level index L (L + 1 values per cell).
  virtual void WriteStack(const std::string& fileName, Stack stack, int levels, bool ascii, bool doublePrecision);
  // Collective. Sets *stack to a new stack of this instance's first to last
  // row (rows 1 ... nrows on instance 0 with keepWhole) and returns L.
  virtual int ReadStack(const std::string& fileName, Stack* stack, bool keepWhole);

  // ---- result grid names and dated grids ----
  // Writes the stack of an entry as its write-code kind asks.
  virtual void WriteDatedGrid(int position);
  // Date of the step whose result grids are written, stored by the owner's
  // per-step operation; until one is stored, the date held by SetDate is taken.
  void SetStepDate(int64_t stepYear, int64_t stepMonth, int64_t stepDay, int64_t stepHour);

 protected:
  struct ResultDate {
    int64_t year;
    int64_t month;
    int64_t day;
    int64_t hour;
  };
  // DateKey of the end date from which the outputs due at the end of a run
  // are written: the date held by SetDate, unless the owner keeps it elsewhere.
  virtual int64_t ResultEndDateKey() const { return datekey; }
  ResultDate StepDate() const;
  // Dated name of an entry's file at the date; the entry's counter numbers
  // further names of the same date. stemLimit shortens the name's stem.
  std::string DatedName(GridListEntry& entry, const ResultDate& date, size_t stemLimit);
  // Cell of the entry's rows that the statistics take: zone data and, with
  // ownOnly, owned by this instance.
  bool ConsideredCell(int row, int column, bool ownOnly) const;
  // Writes a companion grid on instance 0 (gathered first when several instances run).
  void WriteCompanionGrid(int position, const std::string& name, Grid grid, bool ownCellsOnly);
  // state: the grid a warm start reads (its undated file at the run's end),
  // written with every digit.
  void WriteResultGrid(int position, const std::string& name, Grid grid, bool ownCellsOnly, bool state = false);
  void WriteResultStack(int position, const std::string& name, bool state = false);
  bool stepdateset = false;
  ResultDate stepdate = {0, 0, 0, 0};

 public:
  // ---- MPI grid exchange ----
  // index: grid-list position of the grid or stack; a pointer given takes
  // precedence. The level count of a stack comes from its grid-list entry.
  // Scatter: instance 0 sends every other instance its strips; gathers: the
  // reverse. They do nothing on one instance or without "MPIRegions"/"MPIHelper".
  virtual void MPIScatterGrid(int index, Grid grid = nullptr);
  virtual void MPIGatherGrid(int index, Grid grid = nullptr);
  // A new whole grid on instance 0 (the caller releases it), null elsewhere.
  virtual Grid MPIGatherGridAlloc(int index, Grid grid = nullptr);
  virtual void MPIGatherStack(int index, Stack stack = nullptr);
  virtual Stack MPIGatherStackAlloc(int index, Stack stack = nullptr);
  // With index < 1 the level count L is the argument (0 is refused, code 1010).
  virtual void MPIScatterStack(int index, Stack stack = nullptr, int levels = 0);
  // Halo exchange along the send and receive lists; a negative index does nothing.
  virtual void MPIExchangeBorders(int index, Grid grid = nullptr);
  virtual void MPIExchangeBorders2(int index, int unused, Stack stack = nullptr);
  // Sums n, sx (and RelCellSum with copyRelCellSum) of records 0 ... n on
  // instance 0; the other instances get 0 in these fields.
  virtual void MPIReduceRecords(ZoneRecord* records, int n, bool copyRelCellSum);
  // Broadcasts n, sx and RelCellSum of records 0 ... n from instance 0.
  virtual void MPIBcastStruct(ZoneRecord* records, int n);
  // Masked cells (mask > no-data, with an owner) of every instance to instance 0,
  // into target when given, else into the source grid.
  virtual void MPISendRecvArray(int sourceIndex, int maskIndex, const int64_t* cellCounts, Grid target = nullptr);
  // The reverse: instance 0 sends each instance the masked cells it owns.
  virtual void MPISendRecvArray2(int sourceIndex, int maskIndex, const int64_t* cellCounts);
  // Owner grid and strip grid of the domain decomposition (null: no regions).
  void SetMPIRegionGrids(Grid regions, Grid helper) {
    MPIRegions = regions;
    MPIHelper = helper;
  }
  Grid GetMPIRegions() const { return MPIRegions; }
  Grid GetMPIHelper() const { return MPIHelper; }

  // ---- access for creators and tests ----
  void SetGridList(GridListEntry* list) { gridlist = list; }
  GridListEntry* GetGridList() const { return gridlist; }
  void SetGeometry(int columns, int rows, double xll, double yll, double cellSize, double nodataValue);
  void SetRowRange(int first, int last) {
    firstrow = first;
    lastrow = last;
  }
  void SetDataColumns(const ColumnRange* ranges) { datacols = ranges; }
  void SetMinToIntEnd(double minutes) {
    mintointend = minutes;
    mintointendhours = minutes / 60.0;
  }
  int GetInitialized() const { return initialized; }
  int64_t GetDateKey() const { return datekey; }
  int MonthLength(int month) const { return (month >= 1 && month <= 12) ? monthlength[month] : 0; }
  const std::string& GetControlFileName() const { return controlfilename; }
  // The user's control file that controlfilename (its preprocessed copy) was
  // made from: the file messages name.
  std::string UserControlFile() const { return ControlFile::SourceNameOf(controlfilename); }

 protected:
  // Writes one FATAL entry and throws code.
  [[noreturn]] void Fatal(const std::string& message, int code);
  // The grid-list scan of GetGrid: index of the first entry named shortName, 0 when none.
  int ScanByShortName(const std::string& shortName) const;

  std::string controlfilename;
  ControlFile controlfile;  // the open control file while the object reads its section
  std::string linebuffer;   // rest of the last line read
  std::string sectionheader;
  int initialized = 0;

  // Raster geometry and the rows of this instance.
  int ncols = 0;
  int nrows = 0;
  int firstrow = 0;
  int lastrow = 0;
  double xllcorner = 0;
  double yllcorner = 0;
  double cellsize = 0;
  double nodata = kNodata;
  const ColumnRange* datacols = nullptr;  // indexed by row 1 ... nrows

  // MPI decomposition.
  Grid MPIRegions = nullptr;
  Grid MPIHelper = nullptr;
  const int64_t* instanceCellCounts = nullptr;
  const HaloList* haloSend = nullptr;
  const HaloList* haloReceive = nullptr;
  int mpirank = 0;
  int mpisize = 1;

  // Output settings.
  std::string InitialStateDirectory;
  std::string DefaultOutputDirectory;
  bool WriteAsciiGrids = false;
  bool WriteDoubleGrids = false;

  int SpinUp = 0;
  HRURecord* hru = nullptr;

  // Model calendar: monthlength[1 ... 12] of the current date's year.
  int monthlength[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int64_t hour = 0;
  int64_t day = 0;
  int64_t month = 0;
  int64_t year = 0;
  int64_t datekey = 0;
  double mintointend = 0;       // minutes from the hour of the input data to the end of the step
  double mintointendhours = 0;  // the same in hours
  int reportinterval = 1;

  // Running statistics.
  double statcount = 0;
  double statmin = 0;
  double statmax = 0;
  double statsum = 0;
  double statsumsq = 0;
  double statnodata = kNodata;

  GridListEntry* gridlist = nullptr;
  Grid zonegrid = nullptr;

  // ---- grid file state ----
  double fileheader[12] = {};
  // Weights of the statistics in binary grid headers ("RelCellArea"); null: weight 1.
  Grid RelCellArea = nullptr;
  // GIF input: image geometry and the mapping of pixel values (set by the
  // meteorological interpolator that reads GIF grids).
  double GifXll = 0;
  double GifYll = 0;
  double GifCellSize = 0;
  Grid GifMask = nullptr;
  double GifF1 = 0;
  double GifX1 = 0;
  int GifThreshold = 0;
  double GifF2 = 0;
  double GifX2 = 0;

  // Steps of ReadGrid and the writers.
  struct GridStream;  // an open grid file, closed when it goes out of scope
  void OpenGridFile(const std::string& path, GridStream& stream);
  int RecogniseGridFormat(GridStream& stream, const std::string& path);
  void ReadGridHeader(GridStream& stream, int format, const std::string& path);
  void CheckGridHeader(const std::string& path);
  void BroadcastGridHeader(std::string& path, int& format);
  // Rows this instance holds: first ... last row, or 1 ... nrows before the
  // domain is decomposed; widened by the halo rows when withHalo is set.
  void InstanceRows(bool withHalo, int& first, int& last) const;
  void ReadGridRows(GridStream& stream, int format, const std::string& path, Grid grid);
  void ReadGifGrid(const std::string& path, Grid grid);
  void ReadAsciiRows(std::FILE* stream, const std::string& path, Grid grid);
  void ReadOwnRowsMpiIo(const std::string& path, int format, Grid grid, int first, int last);
  void DistributeReadRows(Grid grid, int first, int last);
  void ExchangeReadBorders(Grid grid);
  void FillHoles(const std::string& path, Grid grid, int fillMode, bool verbose, bool strictHoles, double fillValue);
  // allDigits: a state grid, which a warm start reads back: every digit of
  // its doubles (ASCII "%.17g", binary doubles) whatever the format switches.
  void WriteGridFile(const std::string& fileName, Grid grid, bool asciiFile, bool doubleFile, bool dataColumnsOnly,
                     bool allDigits = false);
  void WriteStackFile(const std::string& fileName, Stack stack, int levels, bool ascii, bool doublePrecision,
                      bool allDigits);

  // ---- MPI exchange state ----
  // Looks "MPIRegions" and "MPIHelper" up in the grid list when the object
  // does not hold them yet; true when both are known afterwards.
  bool BindMPIRegionGrids();
  // Calls visit(row, first column, count, owner) for every strip that instance
  // 0 exchanges with another instance (on instance 0) or for every own strip
  // (on the others), rows increasing, columns increasing. A row whose strips do
  // not fit in it is error 120; the stack gathers use their own message form.
  template <typename Visit>
  void WalkStrips(bool stackGatherMessage, Visit&& visit);
  [[noreturn]] void StripLimitError(int row, bool stackGatherMessage);
  // The stack scatter with its level count given (any L >= 0).
  void ScatterStackCells(Stack stack, int levels);
  void GatherStackCells(Stack stack, int levels);
  // The grid or stack an exchange works on: the pointer, else the entry's.
  Grid ExchangeGrid(int index, Grid grid, const char* operation);
  Stack ExchangeStack(int index, Stack stack, const char* operation);
  int EntryLevels(int index, const char* operation);
};
