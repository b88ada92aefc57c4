#include "application/modapuzr.h"

#include <cstdio>

#include "framework/diagstream.h"

std::string ToUpperCopy(const std::string& text) {
  std::string copy = text;
  for (char& c : copy)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return copy;
}

ModellApplication::ModellApplication(DiagStream* diagnostics, int /*argc*/, char** argv, int controlFileIndex)
    : memory_handling(diagnostics), controlFileName(argv[controlFileIndex]) {
  modulname = "ModellApplication";
  std::FILE* file = std::fopen(controlFileName.c_str(), "rt");
  if (!file) {
    *diag << "FATAL: error opening " << controlFileName.c_str() << "[end-entry]";
    throw 28;
  }
  std::fclose(file);
  *diag << "FATAL: this build of Fluvex cannot run the control file " << controlFileName.c_str()
        << " yet: the model set-up is not built" << "[end-entry]";
  throw 2;
}

int ModellApplication::run() { return 0; }

void ModellApplication::ClearMemory() {}
