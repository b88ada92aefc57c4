// The water held in the river channels of the discharge routing at the end
// of a run, read from what the run leaves behind: the routing state in the
// storage content file, the channel flow tables and the routing lines of the
// control file.
#pragma once

#include <string>
#include <vector>

namespace fluvextest {

// Water (m3) in the channels of the discharge routing at the end of the run
// in directory dir (control.txt there, results in dir/out/, channel tables
// wq_table.NNN / wq_tabZL.NNN beside control.txt): per sub-channel the water
// in transit in its translation queue (the positions its delay spans) and
// the water of its two linear storages (main channel and flood plain, from
// their outflows), from the [routing_model] section of out/storage.ftz_0.
// Returns false (and says why in `why`) when something cannot be read.
// With a grid of relative cell areas (relCellAreaGrid in dir), each cell of
// a subbasin counts with its relative area.
bool ChannelWater(const std::string& dir, double& m3, std::string& why, const std::string& relCellAreaGrid = "");

// Tracer mass [m3 times the tracer's concentration unit] that the discharge
// routing holds at the end of the run in directory dir, per tracer 1 ... n
// (index 0 unused; n the tracers of the state): in `channels` what the
// channels hold (the water in transit in their conveyors and the water of
// their linear storages, each at its concentrations), in `reservoirs` what
// the reservoirs and lakes of the routing hold (volume times
// concentration), both from the [routing_model] section of
// out/storage.ftz_0. A lake's water is that of its cells: its mass is also
// that of the lake cells' tracer storages. Returns false (and says why) when
// something cannot be read; a state without tracers gives two vectors of
// size 1.
bool RoutingTracerMass(const std::string& dir, std::vector<double>& channels, std::vector<double>& reservoirs,
                       std::string& why, const std::string& relCellAreaGrid = "");

}  // namespace fluvextest
