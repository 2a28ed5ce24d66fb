#pragma once

#include <chrono>
#include <functional>

// Pauses the calling thread between two status queries of the driver service.
using DriverCheckSleeper = std::function<void(std::chrono::milliseconds)>;

// Blocks the calling thread for `duration`; what checkDriver waits with unless told otherwise.
void sleepOnThisThread(std::chrono::milliseconds duration);

// Whether the program was started in its driver-installation mode: the first argument after the
// program path is exactly "-install-driver".
bool isInstallDriverMode();

// The elevated run of the driver-installation mode: installs the file-system driver and starts its
// service. Every failure is silent: the waiting primary looks at the service itself afterwards.
// Returns the process's exit code.
int installDriver();

// Makes sure that the file-system driver's service exists and runs before any drive is mounted.
// A missing service is offered for installation through an elevated relaunch of the program in
// its driver-installation mode; a service that is starting is waited for (at most 30 queries,
// 2 seconds apart). Returns true only when the service runs; when it returns false the user has
// already been told why, where there is anything to tell. Main thread, before the event loop.
bool checkDriver(const DriverCheckSleeper& sleep = sleepOnThisThread);
