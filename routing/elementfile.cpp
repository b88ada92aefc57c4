#include "routing/elementfile.h"

#include <cstdio>

#include "framework/diagstream.h"
#include "framework/signals.h"
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
    for (uint64_t k = 0; k < width; ++k) std::fprintf(f, "\t%lg", row[4 + k]);
    std::fprintf(f, "\n");
  }
  const bool failed = std::ferror(f) != 0;
  const bool closed = std::fclose(f) == 0;
  RearmCtrlCHandler();
  if (failed || !closed)
    Fail(diag, "FATAL: error writing " + what + " (disk full or no write access); its last rows are lost", 65);
}

}  // namespace elementfile
