// Whether MPI calls may be made: MPI initialized and not yet finalized. A
// program or test started without MPI, and the release after the end of the
// run, skip every MPI call.
#pragma once

bool MpiRunning();

// Keeps the process-management plug-ins that MPI_Init loaded mapped until the
// process exits. Called right after MPI_Init. Open MPI 4.1 unloads them in
// MPI_Finalize while its progress thread may still run an event handler of
// theirs (a segmentation fault at exit, about 1 run in 1000).
void KeepMpiPluginsLoaded();
