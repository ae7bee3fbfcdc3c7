// The way to the sensors: the kernel driver through Win32, or, when QOR_SENSOR_SIMULATOR is set
// and qorsim.dll lies beside this library, the simulated sensors. Chosen once, at the first
// call that needs a sensor: never inside DllMain, where loading another library is not allowed.
#pragma once

// Makes sure Driver().port.io is set; safe from any thread.
void EnsureDeviceBackend();
// True when QOR_SENSOR_SIMULATOR asks for the simulator and qorsim.dll is missing or unusable: a
// developer's or integrator's setup fault, reported (ErrNoSimulator) rather than hidden behind
// whatever sensors or demo images there are.
bool SimulatorMissing();
// Releases the backend object at library unload (the simulator library itself stays mapped:
// freeing a library from DllMain is not allowed).
void ReleaseDeviceBackend();
