// Settings of the dissolved substances (tracers) carried with the water,
// section [substance_transport]: at most nine tracers, one line each.
#pragma once

#include <string>
#include <vector>

#include "framework/modelobject.h"
#include "framework/tracerrecord.h"

class tracer_ini_class : public modelobject {
 public:
  static constexpr int kMaxTracers = 9;

  // Never throws: an error code raised while reading goes to error (any other
  // failure gives 103), and the reading ends there. count and tracers receive
  // the number of tracers and the table (records 1 ... count, record 0 empty;
  // null without tracers), which this object owns until FreeMemory.
  tracer_ini_class(int& error, DiagStream* diagnostics, const std::string& controlFileName, int& count,
                   TracerRecord*& tracers, const ModelObjectArgs& args);
  void FreeMemory() override;

  int TracerCount() const { return tracercount; }

 private:
  void ReadSection(int& count, TracerRecord*& tracers);
  void ReadTracer(const std::string& line, int k, int n);

  int tracercount = 0;
  std::vector<TracerRecord> table;
};
