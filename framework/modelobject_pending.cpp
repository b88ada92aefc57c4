// Grid-file and exchange operations that other parts of the build provide.
#include "framework/diagstream.h"
#include "framework/modelobject.h"

void modelobject::ReadGrid(const std::string& fileName, Grid*, int, bool, bool, bool, bool, bool, bool, double) {
  Fatal("FATAL: reading the grid " + fileName + " is not available in this build", 22);
}
void modelobject::WriteGrid(const std::string& fileName, Grid, bool, bool) {
  Fatal("FATAL: writing the grid " + fileName + " is not available in this build", 26);
}
