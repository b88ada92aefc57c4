// A diagnostics stream whose console text and XML file a test can read.
#pragma once

#include <memory>
#include <sstream>
#include <string>

#include "framework/diagstream.h"
#include "tests/support/testutil.h"

namespace fluvextest {

class DiagCapture {
 public:
  explicit DiagCapture(const std::string& name)
      : dir(name), stream(std::make_unique<DiagStream>(dir / "diag.xml", 4, &console)) {}
  DiagStream* get() { return stream.get(); }
  // Console text: entries without their level prefix, each followed by a
  // line break and the "(mpi-rank  0) " prefix of the next line.
  std::string Console() const { return console.str(); }
  // Number of FATAL entries written to the XML file so far.
  int FatalEntries() const {
    return CountOf(ReadFile(DiagStream::RankFileName(dir / "diag.xml", MpiRank())), "<line level=\"0\"");
  }
  const TempDir& Dir() const { return dir; }

 private:
  TempDir dir;
  std::ostringstream console;
  std::unique_ptr<DiagStream> stream;
};

}  // namespace fluvextest
