// Whether MPI calls may be made: MPI initialized and not yet finalized. A
// program or test started without MPI, and the release after the end of the
// run, skip every MPI call.
#pragma once

bool MpiRunning();
