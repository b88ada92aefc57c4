// Control-file preprocessing and the parameter tables of the set-up object.
#include "application/defltuzr.h"
#include "application/symbols.h"
#include "framework/diagstream.h"
#include "parameters/landusetable.h"
#include "parameters/multilayertable.h"
#include "parameters/soiltable.h"

void defaultini::CompileSymbols(const std::string& controlFileName, std::string& preprocessedName) {
  SymbolPreprocessor preprocessor(diag);
  preprocessedName = preprocessor.CompileSymbols(controlFileName);
}

void defaultini::ReadMultilayerLanduseTable(int /*mode*/) {
  multilayertable = ::ReadMultilayerLanduseTable(controlfile, *diag);
}

void defaultini::ReadLanduseTable(int mode) { landusetable = ::ReadLanduseTable(controlfile, *diag, mode); }

void defaultini::ReadSoilTable(int /*mode*/) { soiltable = ::ReadSoilTable(controlfile, *diag); }

void defaultini::ReleaseTables() {
  landusetable.reset();
  soiltable.reset();
  multilayertable.reset();
}
