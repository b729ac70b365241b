// Temporary files that vanish when closed or when the process dies: created
// exclusively (mode 0600) and unlinked right after they are opened.
#pragma once

#include <string>

// The folder used when the caller's folder setting is empty: $TMPDIR, else /tmp.
std::string IESystemTempFolder();

// Creates prefix + "-" + 8 upper-case hex digits + ".tmp" in folder (the system
// folder when empty), drawing a new random number until the name is free.
// Returns the open descriptor (read/write) and stores the name it had in
// *nameOut. The file is already unlinked. Raises EIEException
// "Unable to create <full name>" (plus the reason) on failure.
int IECreateTempFile(const std::string& folder, const std::string& prefix,
                     std::string* nameOut = nullptr);
