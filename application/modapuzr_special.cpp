// The special output, the last module of the model: built after every other
// module has registered its grids.
#include "application/defltuzr.h"
#include "application/modapuzr.h"
#include "framework/specialoutput.h"

void ModellApplication::BuildSpecialOutput() {
  int error = 0;
  special = new SpecialOutputClass(error, diag, registry.data(), kStatRegistryCapacity, workFileName, CommonArgs(),
                                   setup->GetDefaultOutputDirectory(), substeps);
  if (error != 0) throw error;
}
