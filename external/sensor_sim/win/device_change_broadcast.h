// Tells every driver library's notification window ("EventWnd") that a simulated sensor
// interface arrived or went away, with the same WM_DEVICECHANGE messages the system sends for a
// real sensor.
#pragma once

#include <string>
#include <vector>

#include "external/sensor_sim/core/simulator_control.h"

namespace qor::sim {

// Returns the number of windows told.
int BroadcastInterfaceArrival(const std::string& interfacePath);
int BroadcastInterfaceRemoval(const std::string& interfacePath);

// Compares two listings of the simulator and broadcasts each sensor plugged or unplugged in
// between. Returns the number of messages delivered.
int BroadcastChanges(const std::vector<SensorListing>& before,
                      const std::vector<SensorListing>& after);

}  // namespace qor::sim
