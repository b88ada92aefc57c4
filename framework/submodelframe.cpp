#include "framework/submodelframe.h"

#include "framework/diagstream.h"

int ReportModuleNotAvailable(DiagStream* diag, const std::string& module, const std::string& section, int code) {
  *diag << ("FATAL: the " + module + " model is switched on in section [" + section +
            "] of the control file, but it is not available in this build of Fluvex; set its flow control "
            "parameter to 0")
               .c_str()
        << "[end-entry]";
  return code;
}
