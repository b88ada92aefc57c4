// Evapotranspiration model: the open-water share of "[lake_model]". A cell is
// open water when the lake fields are set and both its lake code and its
// ponding storage are greater than 0. Runs also when the module is off.
#include "framework/diagstream.h"
#include "radiation_et/etpetr.h"

void verdunstungsmodellklasse::InitLakes(const std::string& section) {
  if (!gridlist) return;
  if (FindGrid("lake_codes", false) == 0) {
    *diag << "INFO: no LAKE-grid was found in " << modulname.c_str() << "\n"
          << "Lake modelling is switched off for " << modulname.c_str() << ".\n"
          << "[end-entry]";
    return;
  }
  if (!controlfile.Open(controlfilename, diag)) {
    *diag << "FATAL: error opening " << UserControlFile().c_str() << "[end-entry]";
    throw 28;
  }
  const std::string header = section.substr(0, 1200);
  FindSection(header, true);
  ReadValue(controlfile, "%d", &LakeFlowControl, "flow control parameter for ", linebuffer);
  if (hru) LakeFlowControl = 0;
  if (LakeFlowControl != 0) {
    ReadValue(controlfile, "%d", &LakeInitMethod, "initialization method for ", linebuffer);
    const int initLine = controlfile.LineNumber();
    ReadValue(controlfile, "%lf", &AlbedoOpenWater, "Albedo_OpenWater for ", linebuffer);
    ReadValue(controlfile, "%lf", &RoughnessOpenWater, "z0_OpenWater for ", linebuffer);
    LAIOpenWater = CoverageOpenWater = CanopyResOpenWater = 0;
    lakegrid = GridAt("lake_codes");
    if (FindGrid("ponding_storage", false) > 0) {
      pondgrid = GridAt("ponding_storage");
    } else if (FindGrid("ponding_storage_top", false) > 0) {
      pondgrid = GridAt("ponding_storage_top");
    } else {
      *diag << "FATAL: \n=======================================\n"
            << "!!!! ERROR !!!! \n\n"
            << "\nLAKE-grid was found, but no POND-Grid. For using lakes,"
            << "\nboth grids as well as the MAXPOND grid must be present."
            << "\n\n=======================================\n"
            << "[end-entry]";
      controlfile.Close();
      throw 28;
    }
    if (LakeInitMethod != 1 && LakeInitMethod != 2) {
      *diag << "FATAL: \n=======================================\n"
            << "!!!! ERROR !!!! \n\n "
            << "Error in initialization method for " << header.c_str() << ".\n"
            << "Allowed values are 1 (no change of grids) or 2 (adjust DEM, SLOPE, DRAIN).\n"
            << "In either case, theta_soil will be set to saturated, if the cell is marked as lake and POND is > 0."
            << "\n\n=======================================\n"
            << " (read: " << LakeInitMethod << ", " << controlfile.WhereBetween(initLine, initLine).c_str() << ")"
            << "[end-entry]";
      controlfile.Close();
      throw 211;
    }
  }
  if (!controlfile.Close()) {
    *diag << "FATAL: error closing " << UserControlFile().c_str() << "after reading initialization method for "
          << header.c_str() << "[end-entry]";
    throw 11;
  }
}
