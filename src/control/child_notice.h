// Processes that the program starts, while the launcher's report channel is
// connected: each is named on it, and held until the launcher has loaded
// the library into it (see child_notice.cpp).
#pragma once

// At process attach, after the channel connected.
void WatchProcessCreation();
// When the library is unloaded while the process goes on.
void StopWatchingProcessCreation();
