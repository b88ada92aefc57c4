// Stack files: layered grids in ASCII, binary float or binary double form.
//
// Header: ncols, nrows, xll, yll, cellsize, nodata, cnt, min, max, sum,
// average, numlevels (= L). Then every cell in row-major order with its levels
// 0 ... L together. Binary stacks are written by all instances at once through
// MPI-IO, each instance its own run of cells; ASCII stacks by instance 0 alone.
#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "framework/diagstream.h"
#include "framework/modelobject.h"
#include "framework/signals.h"
#include "framework/strutil.h"

namespace {

constexpr int kPathLength = static_cast<int>(modelobject::kMaxPathLength);
constexpr int kFormatFloat = modelobject::kFloatFile;
constexpr int kFormatAscii = modelobject::kAsciiFile;
constexpr int kFormatDouble = modelobject::kDoubleFile;
constexpr int kHeaderValues = 12;
// Longest MPI-IO transfer in elements (MPI counts are int).
constexpr int64_t kChunk = int64_t{1} << 26;

// The largest error code of all instances, so that all of them stop together.
int SharedCode(int local) {
  int worst = local;
  MPI_Allreduce(&local, &worst, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  return worst;
}

std::string LastChars(const std::string& text, std::size_t n) {
  return text.size() <= n ? text : text.substr(text.size() - n);
}

// Next white-space separated word; false at the end of the file or for a word
// longer than maxLength characters.
bool ReadWord(std::FILE* file, char* word, int maxLength) {
  int ch;
  do ch = getc_unlocked(file);
  while (ch != EOF && std::isspace(ch));
  if (ch == EOF) return false;
  int n = 0;
  while (ch != EOF && !std::isspace(ch)) {
    if (n == maxLength) return false;
    word[n++] = static_cast<char>(ch);
    ch = getc_unlocked(file);
  }
  word[n] = '\0';
  return true;
}

bool ReadNumber(std::FILE* file, double& value) {
  char word[128];
  if (!ReadWord(file, word, 127)) return false;
  char* end = nullptr;
  value = std::strtod(word, &end);
  return end != word && *end == '\0';
}

}  // namespace

// ---------------------------------------------------------------- writing

void modelobject::WriteStack(const std::string& fileName, Stack stack, int levels, bool ascii, bool doublePrecision) {
  WriteStackFile(fileName, stack, levels, ascii, doublePrecision, false);
}

void modelobject::WriteStackFile(const std::string& fileName, Stack stack, int levels, bool ascii, bool doublePrecision,
                                 bool allDigits) {
  if (allDigits) doublePrecision = true;
  IgnoreCtrlC();
  if (ascii && mpirank != 0) {
    RearmCtrlCHandler();
    return;
  }
  std::string path = fileName;
  MakePath(DefaultOutputDirectory, path, 26);
  if (levels < 0) {
    *diag << "FATAL: invalid level count " << levels << " for the stack file " << path.c_str() << "[end-entry]";
    throw 1010;
  }
  const double header[kHeaderValues] = {
      static_cast<double>(ncols), static_cast<double>(nrows), xllcorner, yllcorner, cellsize, nodata, 0, 0, 0, 0, 0,
      static_cast<double>(levels)};
  const int perCell = levels + 1;
  std::memcpy(fileheader, header, sizeof header);

  if (ascii) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (!file) {
      *diag << "FATAL: error opening " << path.c_str() << "[end-entry]";
      throw 26;
    }
    bool ok =
        std::fprintf(file,
                     "stack_ncols\t%lg\nnrows\t%lg\nxll\t%lg\nyll\t%lg\ncs\t%lg\nnodata\t%lg\ncnt\t%lg\nmin\t%lg\n"
                     "max\t%lg\nsum\t%lg\naverage\t%lg\nnumlevels\t%lg\n",
                     header[0], header[1], header[2], header[3], header[4], header[5], header[6], header[7], header[8],
                     header[9], header[10], header[11]) > 0;
    // One value a line ("%lg", a state "%.17g"). Blocks of rows are
    // formatted on the threads, each row into a text of its own, and written
    // in the order of the rows, one write a row: the file is that of one thread.
    const int precision = allDigits ? 17 : 6;
    const size_t rowBytes = (static_cast<size_t>(std::max(ncols, 1)) * perCell * 33 + 63) / 64 * 64;
    // At most 16 MiB of text at a time (at least one row).
    const int fitting = static_cast<int>(std::min<size_t>(64, (size_t{16} << 20) / rowBytes));
    const int blockRows = std::clamp(4 * omp_get_max_threads(), 1, std::max(1, fitting));
    std::vector<char> text(rowBytes * static_cast<size_t>(std::min(blockRows, std::max(nrows, 1))));
    std::vector<size_t> sizes(static_cast<size_t>(blockRows));
    for (int block = 1; ok && block <= nrows; block += blockRows) {
      const int count = std::min(blockRows, nrows - block + 1);
#pragma omp parallel for schedule(dynamic, 1) if (count > 1)
      for (int i = 0; i < count; ++i) {
        const double* const* cells = stack ? stack[block + i] : nullptr;
        char* const begin = text.data() + rowBytes * static_cast<size_t>(i);
        char* out = begin;
        for (int c = 1; c <= ncols; ++c)
          for (int l = 0; l < perCell; ++l) {
            out = FormatGeneral(out, cells ? cells[c][l] : nodata, precision);
            *out++ = '\n';
          }
        sizes[static_cast<size_t>(i)] = static_cast<size_t>(out - begin);
      }
      for (int i = 0; ok && i < count; ++i) {
        const size_t size = sizes[static_cast<size_t>(i)];
        ok = std::fwrite(text.data() + rowBytes * static_cast<size_t>(i), 1, size, file) == size;
      }
    }
    if (!ok) {
      std::fclose(file);
      WriteError(path, 1);
    }
    if (std::fclose(file) != 0) {
      *diag << "FATAL: error closing " << path.c_str() << "[end-entry]";
      throw 27;
    }
    RearmCtrlCHandler();
    return;
  }

  // The cells of this instance: from its first own cell up to the first own
  // cell of the instance that follows it in the file, whatever the order of
  // the instance numbers along the rows. The cells without data between two
  // instances belong to the earlier one and those before the first to the
  // first, so the instances together write every cell exactly once, also
  // where a boundary falls within a row. An object that has not yet bound the
  // owner grid binds it here, else only instance 0 would write.
  if (mpisize > 1) BindMPIRegionGrids();
  const int64_t cells = static_cast<int64_t>(nrows) * ncols;
  int64_t ownStart = cells;
  if (mpisize == 1 || (!MPIRegions && mpirank == 0)) {
    ownStart = 0;
  } else if (MPIRegions) {
    for (int row = firstrow; row <= lastrow && ownStart == cells; ++row) {
      if (row < 1 || row > nrows || !MPIRegions[row]) continue;
      for (int c = 1; c <= ncols; ++c) {
        if (MPIRegions[row][c] == mpirank) {
          ownStart = static_cast<int64_t>(row - 1) * ncols + (c - 1);
          break;
        }
      }
    }
  }
  std::vector<int64_t> starts(static_cast<std::size_t>(mpisize), cells);
  MPI_Allgather(&ownStart, 1, MPI_INT64_T, starts.data(), 1, MPI_INT64_T, MPI_COMM_WORLD);
  const int64_t first = *std::min_element(starts.begin(), starts.end());
  int64_t begin = ownStart;
  int64_t end = ownStart;  // an instance without cells writes nothing
  if (first == cells) {
    // No instance owns a cell: instance 0 writes the file of no-data.
    begin = 0;
    end = mpirank == 0 ? cells : 0;
  } else if (ownStart < cells) {
    if (ownStart == first) begin = 0;
    end = cells;
    for (const int64_t s : starts)
      if (s > ownStart && s < end) end = s;
  }

  const int width = doublePrecision ? 8 : 4;
  const int64_t count = (end - begin) * perCell;
  std::vector<double> doubles(doublePrecision ? static_cast<std::size_t>(count) : 0);
  std::vector<float> floats(doublePrecision ? 0 : static_cast<std::size_t>(count));
  int64_t k = 0;
  for (int64_t i = begin; i < end; ++i) {
    const int row = static_cast<int>(i / ncols) + 1;
    const int c = static_cast<int>(i % ncols) + 1;
    const double* values = (stack && stack[row]) ? stack[row][c] : nullptr;
    for (int l = 0; l < perCell; ++l, ++k) {
      const double v = values ? values[l] : nodata;
      if (doublePrecision)
        doubles[k] = v;
      else
        floats[k] = static_cast<float>(v);
    }
  }

  MPI_File fh;
  char name[kPathLength + 1];
  std::snprintf(name, sizeof name, "%s", path.c_str());
  const int opened = MPI_File_open(MPI_COMM_WORLD, name, MPI_MODE_CREATE | MPI_MODE_WRONLY, MPI_INFO_NULL, &fh);
  if (SharedCode(opened == MPI_SUCCESS ? 0 : 26) != 0) {
    if (opened == MPI_SUCCESS) MPI_File_close(&fh);
    *diag << "FATAL: error creating " << path.c_str() << " for writing in binary mode."
          << "[end-entry]";
    throw 26;
  }
  const MPI_Datatype type = doublePrecision ? MPI_DOUBLE : MPI_FLOAT;
  auto write = [&](MPI_Offset offset, const void* data, int64_t n) {
    for (int64_t done = 0; done < n;) {
      const int part = static_cast<int>(std::min(n - done, kChunk));
      MPI_Status st;
      const char* from = static_cast<const char*>(data) + done * width;
      if (MPI_File_write_at(fh, offset + done * width, from, part, type, &st) != MPI_SUCCESS) return false;
      int written = 0;
      if (MPI_Get_count(&st, type, &written) != MPI_SUCCESS || written != part) return false;
      done += part;
    }
    return true;
  };
  bool ok = true;
  if (mpirank == 0) {
    float floatHeader[kHeaderValues];
    for (int i = 0; i < kHeaderValues; ++i) floatHeader[i] = static_cast<float>(header[i]);
    ok = write(0, doublePrecision ? static_cast<const void*>(header) : floatHeader, kHeaderValues);
  }
  if (ok && count > 0) {
    const void* data = doublePrecision ? static_cast<const void*>(doubles.data()) : floats.data();
    ok = write(static_cast<MPI_Offset>((kHeaderValues + begin * perCell) * width), data, count);
  }
  // An older, longer file of the same name loses its tail; bytes below the
  // size are written by the instances whatever the order.
  const MPI_Offset total = static_cast<MPI_Offset>((kHeaderValues + cells * perCell) * width);
  if (MPI_File_set_size(fh, total) != MPI_SUCCESS) ok = false;
  const int failed = SharedCode(ok ? 0 : 18);
  const int closed = MPI_File_close(&fh);
  const int notClosed = SharedCode(closed == MPI_SUCCESS ? 0 : 27);
  if (failed != 0) {
    if (!ok) WriteError(path, 2);
    *diag << "FATAL: write error " << path.c_str() << " on another instance"
          << "[end-entry]";
    throw 18;
  }
  if (notClosed != 0) {
    *diag << "FATAL: error closing " << path.c_str() << "[end-entry]";
    throw 27;
  }
  RearmCtrlCHandler();
}

// ---------------------------------------------------------------- reading

namespace {

struct StackHeader {
  int format = -1;
  double values[kHeaderValues] = {0};
  int levels = 0;
};

}  // namespace

// Instance 0: opens the file, recognises its format, reads and checks the
// header. Returns the open stream positioned at the first value, or null when
// the file is to be read through MPI-IO (the stream is then closed).
static std::FILE* OpenStackFile(DiagStream& diag, const std::string& path, bool mpiio, StackHeader& header, int ncols,
                                int nrows, const double geometry[4], const std::string& zoneFile,
                                const std::string& objectName) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    diag << "FATAL: error opening " << path.c_str() << "[end-entry]";
    throw 21;
  }
  diag << "reading " << path.c_str() << " for " << objectName.c_str() << "..."
       << "[end-entry]";
  auto fail = [&](int code) {
    std::fclose(file);
    throw code;
  };
  char magic[5] = {0};
  const bool isAscii = std::fread(magic, 1, 5, file) == 5 && std::memcmp(magic, "stack", 5) == 0;
  if (isAscii) {
    std::fclose(file);
    file = std::fopen(path.c_str(), "r");
    if (!file) {
      diag << "FATAL: error opening " << path.c_str() << "[end-entry]";
      throw 21;
    }
    header.format = kFormatAscii;
    char word[101];
    for (int i = 0; i < kHeaderValues; ++i) {
      if (!ReadWord(file, word, 100) || !ReadNumber(file, header.values[i])) {
        diag << "FATAL: error reading ascii value #" << i + 1 << " from " << path.c_str() << "[end-entry]";
        fail(22);
      }
    }
  } else {
    unsigned char raw[kHeaderValues * 8];
    std::rewind(file);
    const std::size_t got = std::fread(raw, 1, sizeof raw, file);
    double d[kHeaderValues];
    float f[kHeaderValues];
    std::memcpy(d, raw, sizeof d);
    std::memcpy(f, raw, sizeof f);
    // A small float file is shorter than twelve doubles: it is recognised by
    // its twelve floats alone.
    if (got == sizeof raw && d[5] == -9999.0) {
      header.format = kFormatDouble;
      for (int i = 0; i < kHeaderValues; ++i) header.values[i] = d[i];
    } else if (got >= sizeof f && f[5] == -9999.0f) {
      header.format = kFormatFloat;
      for (int i = 0; i < kHeaderValues; ++i) header.values[i] = f[i];
    } else if (got < sizeof f) {
      diag << "FATAL: error reading from " << path.c_str() << "[end-entry]";
      fail(22);
    } else {
      diag << "FATAL: could not recognise file format (ascii, double or double) for stack " << path.c_str()
           << "[end-entry]";
      fail(22);
    }
    std::fseek(file, kHeaderValues * (header.format == kFormatDouble ? 8 : 4), SEEK_SET);
  }
  const double numlevels = header.values[11];
  if (!(numlevels >= 0) || std::trunc(numlevels) + 1 > static_cast<double>(INT_MAX / (ncols + 1))) {
    diag << "FATAL: invalid number of levels " << numlevels << " in " << path.c_str() << "[end-entry]";
    fail(22);
  }
  header.levels = static_cast<int>(numlevels);
  const double* h = header.values;
  // Stacks must match the model exactly: no rounding of the corner as for grids.
  if (std::trunc(h[0]) != ncols || std::trunc(h[1]) != nrows || h[2] != geometry[0] || h[3] != geometry[1] ||
      h[4] != geometry[2] || h[5] != geometry[3]) {
    diag << "FATAL: " << path.c_str() << " has not the specified grid measures (in " << objectName.c_str() << ")\n"
         << LastChars(zoneFile, 35).c_str() << " " << LastChars(path, 35).c_str() << "\n"
         << ncols << " " << h[0] << "\n"
         << nrows << " " << h[1] << "\n"
         << geometry[0] << " " << h[2] << "\n"
         << geometry[1] << " " << h[3] << "\n"
         << geometry[2] << " " << h[4] << "\n"
         << geometry[3] << " " << h[5] << "[end-entry]";
    if (std::fclose(file) != 0) {
      diag << "FATAL: error closing stack (1) " << path.c_str() << "[end-entry]";
      throw 23;
    }
    throw 24;
  }
  if (mpiio && header.format != kFormatAscii) {
    if (std::fclose(file) != 0) {
      diag << "FATAL: error closing grid " << path.c_str() << "[end-entry]";
      throw 23;
    }
    return nullptr;
  }
  return file;
}

int modelobject::ReadStack(const std::string& fileName, Stack* stack, bool keepWhole) {
  IgnoreCtrlC();
  char path[kPathLength + 1] = {0};
  StackHeader header;
  std::FILE* file = nullptr;
  int code = 0;
  if (mpirank == 0) {
    std::string full = fileName;
    const double geometry[4] = {xllcorner, yllcorner, cellsize, nodata};
    const std::string zoneFile = (gridlist && gridlist[1].registered) ? gridlist[1].filename : std::string();
    try {
      MakePath(InitialStateDirectory, full, 21);
      file = OpenStackFile(*diag, full, !keepWhole, header, ncols, nrows, geometry, zoneFile, modulname);
    } catch (int c) {
      code = c;
    }
    std::snprintf(path, sizeof path, "%s", full.c_str());
  }
  // A failure on instance 0 stops every instance, none waits for the others.
  MPI_Bcast(&code, 1, MPI_INT, 0, MPI_COMM_WORLD);
  if (code != 0) {
    if (mpirank != 0)
      *diag << "FATAL: reading the stack file " << fileName.c_str() << " failed on instance 0 (error code " << code
            << ")"
            << "[end-entry]";
    throw code;
  }
  MPI_Bcast(path, kPathLength + 1, MPI_CHAR, 0, MPI_COMM_WORLD);
  MPI_Bcast(&header.format, 1, MPI_INT, 0, MPI_COMM_WORLD);
  MPI_Bcast(header.values, 6, MPI_DOUBLE, 0, MPI_COMM_WORLD);
  MPI_Bcast(&header.levels, 1, MPI_INT, 0, MPI_COMM_WORLD);
  if (mpirank != 0) header.values[11] = header.levels;
  std::memcpy(fileheader, header.values, sizeof header.values);
  const int levels = header.levels;
  const int perCell = levels + 1;
  const bool mpiio = header.format != kFormatAscii && !keepWhole;
  int from = firstrow;
  int to = lastrow;
  if (mpirank == 0 && !mpiio) {
    from = 1;
    to = nrows;
  }
  MPI_Barrier(MPI_COMM_WORLD);

  Stack s = matrix3d(from, to, 1, ncols, levels, nrows);
  // The other instances get the cells of the basin from instance 0; every
  // other value of theirs (cells outside the basin, at every level) is
  // missing, as in the file.
  if (mpirank != 0 && !mpiio)
    for (int row = from; row <= to; ++row)
      std::fill(s[row][1], s[row][1] + static_cast<std::size_t>(ncols) * perCell, nodata);
  const bool isDouble = header.format == kFormatDouble;
  const int width = isDouble ? 8 : 4;
  std::vector<float> floats(isDouble ? 0 : static_cast<std::size_t>(ncols) * perCell);
  const char* kind = isDouble ? "FATAL: error reading double stack " : "FATAL: error reading float stack ";
  // Levels 0 ... L of columns 1 ... ncols of a row lie one after another.
  auto rowValues = [&](int row) { return s[row][1]; };
  auto convert = [&](int row, int64_t n) {
    double* to = rowValues(row);
    for (int64_t i = 0; i < n; ++i) to[i] = floats[i];
  };

  if (mpiio) {
    MPI_File fh;
    const int opened = MPI_File_open(MPI_COMM_WORLD, path, MPI_MODE_RDONLY, MPI_INFO_NULL, &fh);
    if (SharedCode(opened == MPI_SUCCESS ? 0 : 21) != 0) {
      if (opened == MPI_SUCCESS) MPI_File_close(&fh);
      FreeMatrix3d(s, from, to);
      *diag << "FATAL: error opening " << path << "[end-entry]";
      throw 21;
    }
    int local = 0;
    const int n = ncols * perCell;
    const MPI_Datatype type = isDouble ? MPI_DOUBLE : MPI_FLOAT;
    for (int row = from; row <= to && local == 0; ++row) {
      const MPI_Offset offset = (kHeaderValues + static_cast<int64_t>(row - 1) * ncols * perCell) * width;
      void* into = isDouble ? static_cast<void*>(rowValues(row)) : floats.data();
      MPI_Status st;
      int got = 0;
      if (MPI_File_read_at(fh, offset, into, n, type, &st) != MPI_SUCCESS ||
          MPI_Get_count(&st, type, &got) != MPI_SUCCESS)
        got = 0;
      if (got != n) {
        *diag << kind << path << "at row " << row << ", column " << got / perCell + 1 << "[end-entry]";
        local = 22;
      } else if (!isDouble) {
        convert(row, n);
      }
    }
    const int failed = SharedCode(local);
    const int closed = SharedCode(MPI_File_close(&fh) == MPI_SUCCESS ? 0 : 23);
    if (failed != 0 || closed != 0) {
      FreeMatrix3d(s, from, to);
      if (local == 0)
        *diag << (failed ? "FATAL: error reading stack " : "FATAL: error closing grid ") << path
              << (failed ? " on another instance" : "") << "[end-entry]";
      throw failed != 0 ? failed : closed;
    }
    *stack = s;
    ResetCtrlCHandler();
    return levels;
  }

  int local = 0;
  if (mpirank == 0) {
    if (header.format == kFormatAscii) {
      for (int row = 1; row <= nrows && local == 0; ++row)
        for (int c = 1; c <= ncols && local == 0; ++c)
          for (int l = 0; l < perCell && local == 0; ++l)
            if (!ReadNumber(file, s[row][c][l])) {
              *diag << "FATAL: error reading ascii stack " << path << "at row " << row << ", column " << c << ", level "
                    << l << "[end-entry]";
              local = 22;
            }
    } else {
      const std::size_t n = static_cast<std::size_t>(ncols) * perCell;
      for (int row = 1; row <= nrows && local == 0; ++row) {
        void* into = isDouble ? static_cast<void*>(rowValues(row)) : floats.data();
        const std::size_t got = std::fread(into, static_cast<std::size_t>(width), n, file);
        if (got != n) {
          *diag << kind << path << "at row " << row << ", column " << static_cast<int>(got / perCell) + 1
                << "[end-entry]";
          local = 22;
        } else if (!isDouble) {
          convert(row, static_cast<int64_t>(n));
        }
      }
    }
    if (std::fclose(file) != 0 && local == 0) {
      *diag << "FATAL: error closing stack (2) " << path << "[end-entry]";
      local = 23;
    }
  }
  const int failed = SharedCode(local);
  if (failed != 0) {
    FreeMatrix3d(s, from, to);
    if (mpirank != 0)
      *diag << "FATAL: reading the stack file " << path << " failed on instance 0 (error code " << failed << ")"
            << "[end-entry]";
    throw failed;
  }

  ScatterStackCells(s, levels);
  if (mpisize > 1) BindMPIRegionGrids();
  if (mpirank != 0 && MPIRegions) {
    for (int row = from; row <= to; ++row) {
      if (!MPIRegions[row]) continue;
      for (int c = 1; c <= ncols; ++c)
        if (MPIRegions[row][c] != mpirank)
          for (int l = 1; l <= levels; ++l) s[row][c][l] = nodata;
    }
  }
  if (mpirank == 0 && !keepWhole && (firstrow != from || lastrow != to)) {
    // Instance 0 keeps its own rows only.
    Stack own = matrix3d(firstrow, lastrow, 1, ncols, levels, nrows);
    for (int row = firstrow; row <= lastrow; ++row)
      std::memcpy(own[row][1], s[row][1], sizeof(double) * static_cast<std::size_t>(ncols) * perCell);
    FreeMatrix3d(s, from, to);
    s = own;
  }
  *stack = s;
  ResetCtrlCHandler();
  return levels;
}
