// A model object for the grid file tests, with a captured diagnostics stream.
#pragma once

#include <memory>
#include <sstream>
#include <string>

#include "framework/diagstream.h"
#include "framework/modelobject.h"
#include "tests/framework/codeof.h"
#include "tests/support/testutil.h"

class GridTestObject : public modelobject {
 public:
  GridTestObject(DiagStream* diag, const std::string& directory) : modelobject(diag, "", 0, Arguments(directory)) {
    modulname = "gridtest";
  }
  using modelobject::fileheader;
  using modelobject::GifF1;
  using modelobject::GifF2;
  using modelobject::GifThreshold;
  using modelobject::GifX1;
  using modelobject::GifX2;
  using modelobject::nodata;
  using modelobject::RelCellArea;

 private:
  static ModelObjectArgs Arguments(const std::string& directory) {
    ModelObjectArgs args;
    args.InitialStateDirectory = directory + "/";
    args.DefaultOutputDirectory = directory + "/";
    return args;
  }
};

// Directory name of a test; the serial and the MPI runs of a test binary run
// side by side in one working directory.
inline std::string TestDirName(const std::string& name) {
  return name + "_np" + std::to_string(fluvextest::MpiSize());
}

// A test directory, its diagnostics (console text and XML file of this rank) and a model object.
struct GridTestBench {
  explicit GridTestBench(const std::string& name, const std::string& directory = "")
      : dir(TestDirName(name)),
        diag(std::make_unique<DiagStream>(dir / "diag.xml", 4, &console)),
        object(diag.get(), directory.empty() ? dir.path() : directory) {}
  std::string Xml() { return fluvextest::ReadFile(diag->FileName()); }
  std::string Console() const { return console.str(); }

  fluvextest::TempDir dir;
  std::ostringstream console;
  std::unique_ptr<DiagStream> diag;
  GridTestObject object;
};
