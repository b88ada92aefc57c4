// Set-up work that other parts of the build provide; each reports itself.
#include "application/defltuzr.h"
#include "framework/diagstream.h"

void defaultini::GetCouplingParameters() { NotBuilt("the external coupling"); }
void defaultini::LinkExternalEntities(StatRecord*, int) {}
