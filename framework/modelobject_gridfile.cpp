// Grid files of model objects: ASCII grids (six-line header), binary grids of
// floats or doubles (twelve-value header with the grid's statistics), GIF
// images as input; format recognition, header check and hole filling.
#include <mpi.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "framework/asciigridheader.h"
#include "framework/diagstream.h"
#include "framework/gifread.h"
#include "framework/modelobject.h"
#include "framework/mpirunning.h"
#include "framework/signals.h"
#include "framework/strutil.h"

namespace {

constexpr int kOpenRetries = 5;
constexpr int kRetryMilliseconds = 200;
constexpr int kHoleRings = 10;

// Runs a signal action when the operation ends, also when it throws.
struct SignalAction {
  void (*action)();
  ~SignalAction() { action(); }
};

// Closes a stream that is still open when the operation throws.
struct StreamGuard {
  std::FILE* stream = nullptr;
  ~StreamGuard() {
    if (stream) std::fclose(stream);
  }
  // Closes the stream; false when closing fails.
  bool Close() {
    std::FILE* s = stream;
    stream = nullptr;
    return std::fclose(s) == 0;
  }
};

std::string Tail(const std::string& text, size_t n) {
  return text.size() > n ? text.substr(text.size() - n) : text;
}

// Bytes of the header: twelve values of the file's width.
long HeaderBytes(int format) {
  return format == modelobject::kDoubleFile ? 96 : 48;
}

}  // namespace

struct modelobject::GridStream : StreamGuard {};

void modelobject::MakePath(const std::string& directory, std::string& path, int tooLongCode) {
  const bool prefix = !directory.empty() && !(!path.empty() && (path[0] == '/' || path[0] == '~'));
  const std::string result = prefix ? directory + path : path;
  if (result.size() > kMaxPathLength) {
    *diag << "FATAL: the path " << result.c_str() << " is longer than " << static_cast<int>(kMaxPathLength)
          << " characters"
          << "[end-entry]";
    throw tooLongCode;
  }
  path = result;
}

void modelobject::SetGifGeometry(double x, double y, double cellSize, Grid mask) {
  GifXll = x;
  GifYll = y;
  GifCellSize = cellSize;
  GifMask = mask;
}

// ---------------------------------------------------------------- reading

void modelobject::OpenGridFile(const std::string& path, GridStream& stream) {
  // The file may still be written by another program: try again a few times.
  for (int retriesLeft = kOpenRetries;; --retriesLeft) {
    stream.stream = std::fopen(path.c_str(), "rb");
    if (stream.stream) return;
    if (retriesLeft == 0) Fatal("FATAL: still error opening " + path + " - no retry.", 21);
    // One FATAL entry ends the run; the attempts before it are warnings.
    *diag << "WARNING: error opening " << path.c_str() << ". Will try again in " << kRetryMilliseconds
          << " ms... (retriesleft = " << retriesLeft << ")"
          << "[end-entry]";
    std::this_thread::sleep_for(std::chrono::milliseconds(kRetryMilliseconds));
  }
}

int modelobject::RecogniseGridFormat(GridStream& grid, const std::string& path) {
  std::FILE* stream = grid.stream;
  // The window holds twelve doubles; a small float file may be shorter.
  unsigned char window[96] = {};
  const size_t n = std::fread(window, 1, sizeof window, stream);
  if (StartsLikeAsciiGrid(window, n)) return kAsciiFile;
  double d[12];
  std::memcpy(d, window, sizeof d);
  if (n >= 48 && d[5] == -9999.0) return kDoubleFile;
  float f[6];
  std::memcpy(f, window, sizeof f);
  if (n >= 24 && f[5] == -9999.0f) return kFloatFile;
  if (n >= 4 && std::memcmp(window, "GIF8", 4) == 0) return kGifFile;
  Fatal("FATAL: could not recognise file format (neither ascii, nor single, double, or GIF) for " + path, 22);
}

void modelobject::ReadGridHeader(GridStream& grid, int format, const std::string& path) {
  std::FILE* stream = grid.stream;
  if (format == kGifFile) {
    // A GIF image carries no geometry: it is taken to cover the model grid.
    const double model[6] = {
        static_cast<double>(ncols), static_cast<double>(nrows), xllcorner, yllcorner, cellsize, nodata};
    std::memcpy(fileheader, model, sizeof model);
  } else if (format == kAsciiFile) {
    std::rewind(stream);
    const std::string wrong = ReadAsciiGridHeader(stream, fileheader);
    if (!wrong.empty()) {
      *diag << "FATAL: error reading the ascii header of " << path.c_str() << ": " << wrong.c_str() << "[end-entry]";
      throw 22;
    }
  } else if (format == kFloatFile) {
    std::rewind(stream);
    for (int i = 0; i < 12; ++i) {
      float value;
      if (std::fread(&value, sizeof value, 1, stream) != 1) {
        *diag << "FATAL: error reading double value #" << i + 1 << " from the header of " << path.c_str()
              << "[end-entry]";
        throw 22;
      }
      fileheader[i] = value;
    }
  } else {
    std::rewind(stream);
    double values[12];
    if (std::fread(values, sizeof(double), 12, stream) != 12)
      Fatal("FATAL: error reading double value from the header of " + path, 22);
    std::memcpy(fileheader, values, sizeof values);
  }
  // Sizes and the cell size are used as loop bounds and divisors.
  if (!(fileheader[0] >= 1) || !(fileheader[1] >= 1) || !(fileheader[4] > 0)) {
    *diag << "FATAL: invalid header in " << path.c_str() << ": ncols " << fileheader[0] << ", nrows " << fileheader[1]
          << " and cellsize " << fileheader[4] << " must be positive"
          << "[end-entry]";
    throw 22;
  }
}

void modelobject::CheckGridHeader(const std::string& path) {
  double* h = fileheader;
  // A corner written with other digits than the zone grid's (rounded, or
  // given as a centre) still names the same cells while it lies within half
  // a cell of it, whichever way.
  const bool fits = std::floor(h[0]) == ncols && std::floor(h[1]) == nrows &&
                    std::fabs(h[2] - xllcorner) < cellsize / 2 && std::fabs(h[3] - yllcorner) < cellsize / 2 &&
                    h[4] == cellsize;
  if (fits) return;
  const std::string zoneFile = gridlist ? gridlist[1].filename : std::string();
  *diag << ("FATAL: " + path + " has not the specified grid measures (in " + modulname + ")!\n").c_str()
        << (Tail(zoneFile, 35) + " " + Tail(path, 35) + "\n").c_str() << ncols << " " << h[0] << "\n"
        << nrows << " " << h[1] << "\n"
        << xllcorner << " " << h[2] << "\n"
        << yllcorner << " " << h[3] << "\n"
        << cellsize << " " << h[4] << "\n"
        << nodata << " " << h[5] << "\n"
        << "[end-entry]";
  throw 24;
}

void modelobject::BroadcastGridHeader(std::string& path, int& format) {
  char buffer[kMaxPathLength + 1] = {};
  if (mpirank == 0) path.copy(buffer, kMaxPathLength);
  MPI_Bcast(buffer, static_cast<int>(kMaxPathLength + 1), MPI_CHAR, 0, MPI_COMM_WORLD);
  buffer[kMaxPathLength] = '\0';
  path = buffer;
  long code = format;
  MPI_Bcast(&code, 1, MPI_LONG, 0, MPI_COMM_WORLD);
  format = static_cast<int>(code);
  MPI_Bcast(fileheader, 6, MPI_DOUBLE, 0, MPI_COMM_WORLD);
  MPI_Barrier(MPI_COMM_WORLD);
}

void modelobject::InstanceRows(bool withHalo, int& first, int& last) const {
  first = firstrow;
  last = lastrow;
  if (first < 1 || last < first || last > nrows) {
    first = 1;
    last = nrows;
  }
  if (withHalo) {
    if (first >= 2) --first;
    if (last < nrows) ++last;
  }
}

void modelobject::ReadGridRows(GridStream& file, int format, const std::string& path, Grid grid) {
  std::FILE* stream = file.stream;
  if (format == kGifFile) {
    ReadGifGrid(path, grid);
    return;
  }
  if (format == kAsciiFile) {
    ReadAsciiRows(stream, path, grid);
    return;
  }
  if (std::fseek(stream, HeaderBytes(format), SEEK_SET) != 0) Fatal("FATAL: error reading double grid " + path, 22);
  std::vector<float> buffer(format == kFloatFile ? static_cast<size_t>(ncols) : 0);
  for (int r = 1; r <= nrows; ++r) {
    double* row = grid[r];
    if (format == kDoubleFile) {
      if (std::fread(&row[1], sizeof(double), ncols, stream) != static_cast<size_t>(ncols))
        Fatal("FATAL: error reading double grid " + path, 22);
    } else {
      if (std::fread(buffer.data(), sizeof(float), ncols, stream) != static_cast<size_t>(ncols))
        Fatal("FATAL: error reading double grid " + path, 22);
      for (int c = 1; c <= ncols; ++c) row[c] = buffer[c - 1];
    }
  }
}

// Each row of the grid is one line of ncols values (blank lines between rows
// are skipped): a row of another length would shift every later value into
// the wrong cell, and a value that is no number ("1,5", "nan") would be read
// as another one.
void modelobject::ReadAsciiRows(std::FILE* stream, const std::string& path, Grid grid) {
  // A line holds ncols numbers; 64 characters each leave room for any blanks.
  const size_t maxLine = static_cast<size_t>(ncols) * 64 + 4096;
  std::string line;
  auto fetch = [&]() {
    line.clear();
    int ch;
    while ((ch = std::fgetc(stream)) != EOF && ch != '\n') {
      if (line.size() >= maxLine) {
        *diag << "FATAL: error reading ascii grid " << path.c_str() << ": a line after the header is longer than "
              << static_cast<long>(maxLine) << " characters (ncols " << ncols << ")"
              << "[end-entry]";
        throw 22;
      }
      line.push_back(static_cast<char>(ch));
    }
    return ch != EOF || !line.empty();
  };
  auto blank = [&]() { return line.find_first_not_of(" \t\r\f\v") == std::string::npos; };
  // The rest of the header's last line.
  fetch();
  if (!blank()) {
    *diag << "FATAL: error reading ascii grid " << path.c_str() << ": the header's last line goes on with \""
          << line.substr(0, 100).c_str() << "\"[end-entry]";
    throw 22;
  }
  for (int r = 1; r <= nrows; ++r) {
    bool got = false;
    while ((got = fetch()) && blank()) {
    }
    if (!got) {
      *diag << "FATAL: error reading ascii grid " << path.c_str() << ": the file ends after row " << r - 1 << " of "
            << nrows << " (nrows)"
            << "[end-entry]";
      throw 22;
    }
    double* row = grid[r];
    const char* p = line.c_str();
    int c = 0;
    for (;;) {
      while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\f' || *p == '\v') ++p;
      if (*p == '\0') break;
      const char* word = p;
      while (*p && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\f' && *p != '\v') ++p;
      ++c;
      if (c > ncols) continue;  // counted for the report below
      char* end = nullptr;
      const double value = std::strtod(word, &end);
      // "nan", "inf" and hexadecimal numbers convert, but are no values of a grid.
      if (end != p || !std::isfinite(value) || HexNumber(word, end)) {
        *diag << "FATAL: error reading ascii grid " << path.c_str() << " in ASCII-Format in row " << r << ", col " << c
              << ": \"" << std::string(word, static_cast<size_t>(std::min<ptrdiff_t>(p - word, 100))).c_str()
              << "\" is no number"
              << "[end-entry]";
        throw 22;
      }
      row[c] = value;
    }
    if (c != ncols) {
      *diag << "FATAL: error reading ascii grid " << path.c_str() << ": row " << r << " holds " << c
            << " values, the header gives ncols " << ncols << " (each row of the grid is one line of ncols values)"
            << "[end-entry]";
      throw 22;
    }
  }
  while (fetch()) {
    if (blank()) continue;
    *diag << "FATAL: error reading ascii grid " << path.c_str() << ": more lines of values follow row " << nrows
          << " (nrows " << nrows << ")"
          << "[end-entry]";
    throw 22;
  }
  // The file's own NODATA_value marks its missing cells; the model's is -9999.
  const double fileNodata = fileheader[5];
  if (fileNodata != nodata)
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c)
        if (grid[r][c] == fileNodata) grid[r][c] = nodata;
}

void modelobject::ReadGifGrid(const std::string& path, Grid grid) {
  // The image cell size divides in the resampling.
  if (!(GifCellSize > 0) || !std::isfinite(GifCellSize) || !std::isfinite(GifXll) || !std::isfinite(GifYll)) {
    *diag << "FATAL: error reading GIF " << path.c_str() << " (the image cell size " << GifCellSize
          << " is not a positive number, or the image corner " << GifXll << "/" << GifYll
          << " is not a number; the image geometry must be set before GIF grids are read)"
          << "[end-entry]";
    throw 22;
  }
  Grid pixels = nullptr;
  int width = 0;
  int height = 0;
  try {
    GifGridReader reader(path);
    reader.GetDimensions(width, height);
    if (width < 1 || height < 1 || static_cast<int64_t>(width) * height > GifGridReader::kMaxPixels)
      throw "the image has " + std::to_string(width) + " x " + std::to_string(height) + " pixels";
    pixels = matrix(1, height, 1, width, 0);
    reader.Read(pixels);
  } catch (const std::string& text) {
    if (pixels) FreeMatrix(pixels, 1, height, 1, width);
    Fatal("FATAL: error reading GIF " + path + " (" + text + ")", 22);
  }
  GifGridReader::Resample(pixels, 1, height, 1, width, grid, 1, nrows, 1, ncols, GifMask, GifXll, GifYll, GifCellSize,
                          xllcorner, yllcorner, cellsize);
  GifGridReader::Map(grid, 1, nrows, 1, ncols, GifThreshold, GifF1, GifX1, GifF2, GifX2);
  FreeMatrix(pixels, 1, height, 1, width);
}

// Every instance reads its own rows directly at their file offset.
void modelobject::ReadOwnRowsMpiIo(const std::string& path, int format, Grid grid, int first, int last) {
  const MPI_Datatype type = format == kDoubleFile ? MPI_DOUBLE : MPI_FLOAT;
  const MPI_Offset width = format == kDoubleFile ? 8 : 4;
  int failure = 0;  // 1: the file cannot be opened, 2: a row cannot be read
  MPI_File file;
  if (MPI_File_open(MPI_COMM_WORLD, path.c_str(), MPI_MODE_RDONLY, MPI_INFO_NULL, &file) != MPI_SUCCESS) {
    failure = 1;
  } else {
    std::vector<float> buffer(format == kFloatFile ? static_cast<size_t>(ncols) : 0);
    for (int r = first; r <= last && failure == 0; ++r) {
      const MPI_Offset offset = (12 + static_cast<MPI_Offset>(r - 1) * ncols) * width;
      void* target = format == kDoubleFile ? static_cast<void*>(&grid[r][1]) : static_cast<void*>(buffer.data());
      MPI_Status status;
      int count = 0;
      if (MPI_File_read_at(file, offset, target, ncols, type, &status) != MPI_SUCCESS ||
          MPI_Get_count(&status, type, &count) != MPI_SUCCESS || count != ncols) {
        failure = 2;
        break;
      }
      if (format == kFloatFile)
        for (int c = 1; c <= ncols; ++c) grid[r][c] = buffer[c - 1];
    }
    if (MPI_File_close(&file) != MPI_SUCCESS && failure == 0) failure = 3;
  }
  // A short file is seen only by the instances whose rows are missing: all
  // instances stop together.
  int worst = failure;
  MPI_Allreduce(&failure, &worst, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  if (worst == 1) Fatal("FATAL: error opening " + path + " through MPI-IO", 21);
  if (worst == 2) Fatal("FATAL: error reading double grid " + path, 22);
  if (worst == 3) Fatal("FATAL: error closing grid " + path, 23);
}

// Instance 0 has read rows 1 ... nrows; every other instance receives the
// values of its own cells by their strips. Before the domain is decomposed
// every instance holds all rows, and instance 0 broadcasts them whole.
void modelobject::DistributeReadRows(Grid grid, int first, int last) {
  if (BindMPIRegionGrids()) {
    MPIScatterGrid(0, grid);
    return;
  }
  std::vector<double> buffer(static_cast<size_t>(ncols));
  for (int r = 1; r <= nrows; ++r) {
    if (mpirank == 0) std::memcpy(buffer.data(), &grid[r][1], sizeof(double) * ncols);
    MPI_Bcast(buffer.data(), ncols, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    if (mpirank != 0 && r >= first && r <= last) std::memcpy(&grid[r][1], buffer.data(), sizeof(double) * ncols);
  }
}

// Halo cells take their owners' values.
void modelobject::ExchangeReadBorders(Grid grid) {
  MPIExchangeBorders(0, grid);
}

void modelobject::ReadGrid(const std::string& fileName, Grid* grid, int fillMode, bool allocate, bool verbose,
                           bool strictHoles, bool keepWhole, bool local, bool withHalo, double fillValue) {
  IgnoreCtrlC();
  SignalAction reset{&ResetCtrlCHandler};
  if (fillMode != 1 && fillMode != 2) fillMode = 0;
  // With local set the calling instance works alone, whichever it is.
  const bool reader = local || mpirank == 0;
  const bool collective = !local && mpisize > 1;
  std::string path = fileName;
  int format = kAsciiFile;
  GridStream stream;
  if (reader) {
    MakePath(InitialStateDirectory, path, 21);
    OpenGridFile(path, stream);
    format = RecogniseGridFormat(stream, path);
    if (verbose)
      *diag << "reading " << path.c_str() << " for " << modulname.c_str() << "..."
            << "[end-entry]";
    ReadGridHeader(stream, format, path);
    CheckGridHeader(path);
  }
  if (collective) BroadcastGridHeader(path, format);

  const bool binary = format == kFloatFile || format == kDoubleFile;
  // Every instance takes the same way through the collective reads: when one
  // keeps the whole grid (instance 0 of the modules that work on the whole
  // domain), none reads its rows by MPI-IO, or the others would wait in the
  // MPI-IO read while it waits in the rows' broadcast.
  int whole = keepWhole ? 1 : 0;
  if (collective) MPI_Allreduce(MPI_IN_PLACE, &whole, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  const bool mpiIo = binary && fillMode == 0 && whole == 0 && !local && MpiRunning();
  int first = 1;
  int last = nrows;
  if (mpiIo || !reader) InstanceRows(withHalo, first, last);

  // A grid allocated here is released again when reading fails.
  struct Allocation {
    explicit Allocation(modelobject* o) : owner(o) {}
    Allocation(const Allocation&) = delete;
    Allocation& operator=(const Allocation&) = delete;
    ~Allocation() {
      if (!grid) return;
      try {
        owner->FreeMatrix(grid, first, last, 1, owner->ncols);
      } catch (int) {
      }
    }
    modelobject* owner;
    Grid grid = nullptr;
    int first = 0;
    int last = 0;
  } allocation(this);
  Grid g = *grid;
  if (allocate) {
    g = matrix(first, last, 1, ncols, nrows);
    allocation.grid = g;
    allocation.first = first;
    allocation.last = last;
    for (int r = first; r <= last; ++r)
      for (int c = 1; c <= ncols; ++c) g[r][c] = nodata;
  } else {
    bool missing = !g;
    for (int r = first; r <= last && !missing; ++r) missing = !g[r];
    if (missing)
      Fatal("FATAL: error reading grid " + path + " no memory allocated (pointer given to function is NULL)", 22);
  }
  if (collective) MPI_Barrier(MPI_COMM_WORLD);

  if (mpiIo) {
    if (reader && !stream.Close()) Fatal("FATAL: error closing grid " + path, 23);
    ReadOwnRowsMpiIo(path, format, g, first, last);
  } else {
    if (reader) {
      ReadGridRows(stream, format, path, g);
      if (!stream.Close()) Fatal("FATAL: error closing grid " + path, 23);
      if (fillMode != 0) FillHoles(path, g, fillMode, verbose, strictHoles, fillValue);
    }
    if (collective) DistributeReadRows(g, first, last);
    if (reader && !keepWhole) {
      // Instance 0 keeps only the rows of its own cells.
      int own1, own2;
      InstanceRows(withHalo, own1, own2);
      if (own1 != first || own2 != last) {
        Grid own = matrix(own1, own2, 1, ncols, nrows);
        for (int r = own1; r <= own2; ++r) std::memcpy(own[r], g[r], sizeof(double) * (ncols + 1));
        FreeMatrix(g, first, last, 1, ncols);
        g = own;
        allocation.grid = allocate ? g : nullptr;
        allocation.first = own1;
        allocation.last = own2;
      }
    }
  }
  if (withHalo && collective) {
    // Instance 0 keeps the whole grid as read: its halo rows already hold the
    // file's values, also in the cells outside the zones that no instance owns
    // (and that the owners of the rows would send back as no data).
    std::vector<std::vector<double>> kept;
    const bool keepRead = reader && keepWhole && haloReceive;
    if (keepRead)
      for (const HaloEntry& e : *haloReceive)
        kept.emplace_back(g[e.row] + e.firstColumn, g[e.row] + e.firstColumn + e.count);
    ExchangeReadBorders(g);
    if (keepRead)
      for (std::size_t i = 0; i < kept.size(); ++i) {
        const HaloEntry& e = (*haloReceive)[i];
        std::memcpy(g[e.row] + e.firstColumn, kept[i].data(), sizeof(double) * e.count);
      }
  }
  allocation.grid = nullptr;
  *grid = g;
}

// ------------------------------------------------------------ hole filling

void modelobject::FillHoles(const std::string& path, Grid grid, int fillMode, bool verbose, bool strictHoles,
                            double fillValue) {
  if (verbose)
    *diag << "... " << path.c_str() << " checking nodata values and replace"
          << "[end-entry]";
  char logName[64];
  std::snprintf(logName, sizeof logName, "modell_%d.log", mpirank);
  StreamGuard log;
  log.stream = std::fopen(logName, "a");
  if (!log.stream) Fatal(std::string("FATAL: error opening log file ") + logName, 5);

  const double fileNodata = fileheader[5];
  const double N = nodata;
  // Without a zone grid every cell lies inside the domain.
  const Grid zone = gridlist ? gridlist[1].grid : nullptr;
  const size_t stride = static_cast<size_t>(ncols) + 1;
  std::vector<double> work(static_cast<size_t>(nrows + 1) * stride);
  for (int y = 1; y <= nrows; ++y) {
    for (int x = 1; x <= ncols; ++x) {
      if (grid[y][x] == fileNodata) grid[y][x] = N;
      work[y * stride + x] = grid[y][x];
    }
  }
  // A hole is a missing cell (the file's nodata, now the model's) inside the
  // zone grid's domain. Values come from the grid as read, so filled holes do
  // not feed other holes.
  long holes = 0;
  for (int y = 1; y <= nrows; ++y) {
    for (int x = 1; x <= ncols; ++x) {
      const bool inside = !zone || !zone[y] || zone[y][x] != N;
      if (!inside) {
        work[y * stride + x] = N;
        continue;
      }
      if (grid[y][x] != N) continue;
      ++holes;
      if (fillMode == 2 || !strictHoles) {
        work[y * stride + x] = fillValue;
        continue;
      }
      // Ring k scans rows y - k ... y + k; its i-th row columns x - i ... x + i.
      bool found = false;
      double value = N;
      for (int k = 1; k <= kHoleRings && !found; ++k) {
        for (int i = 0; i <= 2 * k && !found; ++i) {
          const int yy = y - k + i;
          if (yy < 1 || yy > nrows) continue;
          for (int xx = std::max(1, x - i); xx <= std::min(ncols, x + i); ++xx) {
            if (grid[yy][xx] != N) {
              value = grid[yy][xx];
              found = true;
              break;
            }
          }
        }
      }
      if (!found) {
        *diag << "FATAL: In " << path.c_str() << " is a too big hole at x/y = " << x << "/" << y << "!"
              << "[end-entry]";
        std::fprintf(log.stream, "In %s is a too big hole at x/y = %d/%d\n!\n", path.c_str(), x, y);
        throw 25;
      }
      work[y * stride + x] = value;
      *diag << "DEBUG: "
            << "y: " << y << " x: " << x << "in " << path.c_str() << ": " << grid[y][x] << " replaced by " << value
            << "[end-entry]";
      if (std::fprintf(log.stream, "y: %d x: %d  in %s %lf replaced by %lf!\n", y, x, path.c_str(), grid[y][x], value) <
          0)
        WriteError(logName, 1);
    }
  }
  if (holes > 0) {
    *diag << "DEBUG: In " << path.c_str() << ": " << holes << " nodata values replaced!"
          << "[end-entry]";
    if (std::fprintf(log.stream, "in %s: %ld nodata values replaced!\n\n", path.c_str(), holes) < 0)
      WriteError(logName, 2);
  }
  for (int y = 1; y <= nrows; ++y)
    for (int x = 1; x <= ncols; ++x) grid[y][x] = work[y * stride + x];
  if (!log.Close()) WriteError(logName, 3);
}

// ---------------------------------------------------------------- writing

void modelobject::WriteGrid(const std::string& fileName, Grid grid, bool asciiFile, bool doubleFile) {
  WriteGridFile(fileName, grid, asciiFile, doubleFile, false);
}

void modelobject::WriteGrid2(const std::string& fileName, Grid grid, bool asciiFile, bool doubleFile) {
  WriteGridFile(fileName, grid, asciiFile, doubleFile, true);
}

void modelobject::WriteGridFile(const std::string& fileName, Grid grid, bool asciiFile, bool doubleFile,
                                bool dataColumnsOnly, bool allDigits) {
  if (allDigits) doubleFile = true;
  const int precision = allDigits ? 17 : 6;  // "%.17g" or "%g"
  IgnoreCtrlC();
  SignalAction rearm{&RearmCtrlCHandler};
  std::string path = fileName;
  MakePath(DefaultOutputDirectory, path, 26);
  auto row = [&](int r) -> double* { return grid ? grid[r] : nullptr; };

  // Without a data-column table no cell lies outside the data columns.
  if (dataColumnsOnly && datacols) {
    for (int r = 1; r <= nrows; ++r) {
      double* values = row(r);
      if (!values) continue;
      const ColumnRange range = datacols[r];
      if (range.last < 1) {
        for (int c = 1; c <= ncols; ++c) values[c] = nodata;
      } else {
        for (int c = 1; c < range.first && c <= ncols; ++c) values[c] = nodata;
        for (int c = std::max(range.last + 1, 1); c <= ncols; ++c) values[c] = nodata;
      }
    }
  }

  StreamGuard file;
  if (asciiFile) {
    file.stream = std::fopen(path.c_str(), "wt");
    if (!file.stream) Fatal("FATAL: error creating " + path + " for writing in text mode.", 26);
    // The geometry is written with all its digits: a corner of projected
    // coordinates in six digits ("3.51234e+06") would no longer fit the model
    // when the file is read back.
    if (std::fprintf(file.stream,
                     "ncols\t%d\nnrows\t%d\nxllcorner\t%.15g\nyllcorner\t%.15g\ncellsize\t%.15g\nnodata_value\t%g\n",
                     ncols, nrows, xllcorner, yllcorner, cellsize, nodata) < 0)
      WriteError(path, 1);
    // A null row: WriteGrid writes the literal -9999, WriteGrid2 the model's no-data value.
    char missing[32];
    if (dataColumnsOnly)
      std::snprintf(missing, sizeof missing, "%g", nodata);
    else
      std::snprintf(missing, sizeof missing, "-9999");
    // Blocks of rows are formatted on the threads, each row into its own
    // text (in a cache line of its own: the threads grow their texts side by
    // side), and written in the order of the rows: the file is that of one
    // thread.
    constexpr int kBlockRows = 64;
    struct alignas(64) Line {
      std::string text;
    };
    std::vector<Line> lines(static_cast<size_t>(std::min(std::max(nrows, 0), kBlockRows)));
    for (int block = 1; block <= nrows; block += kBlockRows) {
      const int count = std::min(kBlockRows, nrows - block + 1);
#pragma omp parallel for schedule(dynamic, 1)
      for (int i = 0; i < count; ++i) {
        std::string& line = lines[static_cast<size_t>(i)].text;
        line.clear();
        const double* values = row(block + i);
        char number[32];
        for (int c = 1; c <= ncols; ++c) {
          if (c > 1) line += '\t';
          if (values) {
            line.append(number, FormatGeneral(number, values[c], precision));
          } else {
            line += missing;
          }
        }
        line += '\n';
      }
      for (int i = 0; i < count; ++i) {
        const std::string& line = lines[static_cast<size_t>(i)].text;
        if (std::fwrite(line.data(), 1, line.size(), file.stream) != line.size()) WriteError(path, 2);
      }
    }
  } else {
    file.stream = std::fopen(path.c_str(), "wb");
    if (!file.stream) Fatal("FATAL: error creating " + path + " for writing in binary mode.", 26);
    const double header[12] = {static_cast<double>(ncols),
                               static_cast<double>(nrows),
                               xllcorner,
                               yllcorner,
                               cellsize,
                               nodata,
                               0,
                               0,
                               0,
                               0,
                               0,
                               0};
    std::memcpy(fileheader, header, sizeof header);
    const size_t width = doubleFile ? sizeof(double) : sizeof(float);
    // One row buffer of ncols + 1 values serves the header, the rows and the statistics.
    std::vector<double> doubles(static_cast<size_t>(std::max(ncols, 12)) + 1);
    std::vector<float> floats(doubles.size());
    auto put = [&](const double* values, int count, int site) {
      size_t written;
      if (doubleFile) {
        written = std::fwrite(values, width, count, file.stream);
      } else {
        for (int i = 0; i < count; ++i) floats[i] = static_cast<float>(values[i]);
        written = std::fwrite(floats.data(), width, count, file.stream);
      }
      if (written != static_cast<size_t>(count)) WriteError(path, site);
    };
    put(fileheader, 12, 3);
    StatReset(nodata);
    for (int r = 1; r <= nrows; ++r) {
      const double* values = row(r);
      if (!values) {
        for (int c = 0; c < ncols; ++c) doubles[c] = nodata;
        put(doubles.data(), ncols, 4);
        continue;
      }
      const bool wholeRow = !datacols || datacols[r].last < 1;
      const int c1 = wholeRow ? 1 : std::max(datacols[r].first, 1);
      const int c2 = wholeRow ? ncols : std::min(datacols[r].last, ncols);
      const double* weights = (!wholeRow && RelCellArea) ? RelCellArea[r] : nullptr;
      for (int c = c1; c <= c2; ++c) StatAdd(values[c], weights ? weights[c] : 1.0);
      put(&values[1], ncols, 5);
    }
    StatResult(fileheader[6], fileheader[7], fileheader[8], fileheader[9], fileheader[10], fileheader[11]);
    if (std::fseek(file.stream, static_cast<long>(6 * width), SEEK_SET) != 0) WriteError(path, 6);
    put(&fileheader[6], 6, 7);
  }
  if (!file.Close()) Fatal("FATAL: error closing " + path, 27);
}
