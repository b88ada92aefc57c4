#include "routing/elementfile.h"

#include <cmath>
#include <cstdio>

#include "framework/diagstream.h"
#include "framework/signals.h"
#include "framework/timeseriesfile.h"
#include "routing/elementtext.h"

namespace elementfile {

namespace {
constexpr size_t kMaxPath = 1200;
}

void Fail(DiagStream* diag, const std::string& message, int code) {
  *diag << message << "[end-entry]";
  throw code;
}

std::string CheckedPath(DiagStream* diag, const std::string& directory, const std::string& name,
                        const std::string& element) {
  const std::string path = elementtext::OutputPath(directory, name);
  if (path.size() > kMaxPath)
    Fail(diag,
         "FATAL: error opening " + path + " for " + element + " (the path is longer than " + std::to_string(kMaxPath) +
             " characters)",
         37);
  return path;
}

void CreateWithHeader(DiagStream* diag, const std::string& path, const std::string& header, const std::string& tag,
                      const std::string& element) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (!f) Fail(diag, "FATAL: error opening " + path + " for " + element, 37);
  std::fprintf(f, "%s\n%s\n%s\n", header.c_str(), tag.c_str(), header.c_str());
  const bool failed = std::ferror(f) != 0;
  if (std::fclose(f) != 0 || failed)
    Fail(diag, "FATAL: error opening " + path + " for " + element + " (the header could not be written)", 37);
}

void AppendRows(DiagStream* diag, const std::string& path, const std::vector<double>& rows, uint64_t stride,
                uint64_t used, uint64_t width, int64_t bufferBytes, const std::string& what) {
  IgnoreCtrlC();
  *diag << "flushing to disk: " << path << " (" << static_cast<long>(bufferBytes) << " buffersize)"
        << "[end-entry]";
  std::FILE* f = std::fopen(path.c_str(), "a+");
  if (!f) {
    RearmCtrlCHandler();
    Fail(diag, "FATAL: error opening " + what, 65);
  }
  for (uint64_t r = 1; r <= used; ++r) {
    const double* row = &rows[r * stride];
    std::fprintf(f, "%2.0lf\t%2.0lf\t%2.0lf\t%2.0lf", row[0], row[1], row[2], row[3]);
    // Ten significant digits: a volume of some 1e7 m3 still shows its
    // changes of a cubic metre.
    for (uint64_t k = 0; k < width; ++k) std::fprintf(f, "\t%.10lg", row[4 + k]);
    std::fprintf(f, "\n");
  }
  const bool failed = std::ferror(f) != 0;
  const bool closed = std::fclose(f) == 0;
  RearmCtrlCHandler();
  if (failed || !closed)
    Fail(diag, "FATAL: error writing " + what + " (disk full or no write access); its last rows are lost", 65);
}

namespace {
// Hours since 1 March of year 0 (proleptic Gregorian calendar) of a date
// whose hour runs from 1 to 24: hour 24 of a day is hour 0 of the next.
int64_t HourKey(int64_t y, int64_t m, int64_t d, int64_t h) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return (era * 146097 + doe) * 24 + h;
}

std::string DateText(int64_t y, int64_t m, int64_t d, int64_t h) {
  return std::to_string(d) + "." + std::to_string(m) + "." + std::to_string(y) + ", " + std::to_string(h) + ". h";
}
}  // namespace

void CheckSeriesCoversRun(DiagStream* diag, const std::string& inputFile, const std::string& element, double timeStep,
                          const int64_t start[4], const int64_t end[4]) {
  timeseriesfile f;
  try {
    f.Open(inputFile, 0, 1000000);
  } catch (int) {
  }
  const int64_t first = HourKey(start[0], start[1], start[2], start[3]);
  const int64_t last = HourKey(end[0], end[1], end[2], end[3]);
  // Steps of whole hours follow each other by their length; other steps
  // share hours, and only the end of the series is checked.
  const int64_t stepHours = timeStep >= 60 && std::fmod(timeStep, 60.0) == 0 ? static_cast<int64_t>(timeStep / 60) : 0;
  bool started = false;
  int64_t expected = first;
  int64_t lastRead[4] = {0, 0, 0, 0};
  while (expected <= last) {
    if (f.GetState() == timeseriesfile::kPastEnd || f.GetState() == timeseriesfile::kFormatError ||
        f.GetState() == timeseriesfile::kCannotOpen || f.GetState() == timeseriesfile::kNotOpened)
      Fail(diag,
           "FATAL: error reading from " + inputFile + " for " + element + "\nreached end of file " +
               (started ? "after " + DateText(lastRead[0], lastRead[1], lastRead[2], lastRead[3])
                        : std::string("before the start")) +
               ", before the run's last step " + DateText(end[0], end[1], end[2], end[3]) +
               " (the series must cover the whole run)",
           39);
    int y, m, d, h;
    f.GetDate(y, m, d, h);
    if (y < 1000) y += 1900;
    const int64_t key = HourKey(y, m, d, h);
    if (!started) {
      // The records before the start date are not used.
      if (key != first) {
        f.Next();
        continue;
      }
      started = true;
    } else if (stepHours > 0 && key != expected) {
      const int64_t e = expected - first;
      // The date of the step that expected stands for, hour 24 for a whole day.
      int64_t ey = start[0], em = start[1], ed = start[2], eh = start[3] + e;
      for (; eh > 24; eh -= 24) {
        static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        const bool leap = (ey % 4 == 0 && ey % 100 != 0) || ey % 400 == 0;
        if (++ed > days[em - 1] + (em == 2 && leap)) {
          ed = 1;
          if (++em > 12) {
            em = 1;
            ++ey;
          }
        }
      }
      Fail(diag,
           "FATAL: error comparing dates in " + inputFile + " for " + element +
               ":\n     read: " + DateText(y, m, d, h) + ",\nshould be: " + DateText(ey, em, ed, eh) +
               ". (the series must hold one record per step of the run)",
           36);
    }
    lastRead[0] = y;
    lastRead[1] = m;
    lastRead[2] = d;
    lastRead[3] = h;
    if (stepHours == 0 && key >= last) break;
    expected = stepHours > 0 ? expected + stepHours : key + 1;
    f.Next();
  }
}

}  // namespace elementfile
