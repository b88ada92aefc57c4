// Set-up work that other parts of the build provide; each reports itself.
#include "application/defltuzr.h"
#include "framework/diagstream.h"

