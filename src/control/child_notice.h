// Processes that the program starts run without the detector. While the
// launcher's report channel is connected, each one is named on it.
#pragma once

// At process attach, after the channel connected.
void WatchProcessCreation();
// When the library is unloaded while the process goes on.
void StopWatchingProcessCreation();
