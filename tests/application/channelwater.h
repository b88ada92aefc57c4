// The water held in the river channels of the discharge routing at the end
// of a run, read from what the run leaves behind: the routing state in the
// storage content file, the channel flow tables and the routing lines of the
// control file.
#pragma once

#include <string>

namespace fluvextest {

// Water (m3) in the channels of the discharge routing at the end of the run
// in directory dir (control.txt there, results in dir/out/, channel tables
// wq_table.NNN / wq_tabZL.NNN beside control.txt): translation queues and
// linear storages of every sub-channel, from the [routing_model] section of
// out/storage.ftz_0. Returns false (and says why in `why`) when something
// cannot be read.
bool ChannelWater(const std::string& dir, double stepMinutes, double& m3, std::string& why);

}  // namespace fluvextest
