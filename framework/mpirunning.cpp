#include "framework/mpirunning.h"

#include <dlfcn.h>
#include <link.h>
#include <mpi.h>

#include <cstring>

bool MpiRunning() {
  int initialized = 0;
  int finalized = 0;
  MPI_Initialized(&initialized);
  MPI_Finalized(&finalized);
  return initialized && !finalized;
}

namespace {
// Marks a loaded Open MPI pmix plug-in as never to be unloaded; loads nothing.
int PinPmixPlugin(dl_phdr_info* info, size_t, void*) {
  const char* slash = info->dlpi_name ? std::strrchr(info->dlpi_name, '/') : nullptr;
  if (slash && std::strncmp(slash + 1, "mca_pmix_", 9) == 0)
    dlopen(info->dlpi_name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
  return 0;
}
}  // namespace

void KeepMpiPluginsLoaded() {
  dl_iterate_phdr(PinPmixPlugin, nullptr);
}
