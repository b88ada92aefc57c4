#include "framework/mpirunning.h"

#include <mpi.h>

bool MpiRunning() {
  int initialized = 0;
  int finalized = 0;
  MPI_Initialized(&initialized);
  MPI_Finalized(&finalized);
  return initialized && !finalized;
}
