// One recording from start to summary: load the plug-in, create an instance,
// drive it through Control, and report.
#pragma once

#include "Options.h"

namespace record {

// Records as the options say and returns the process's exit status: 0 when
// the file was finalised, 1 when something failed (reported on stderr).
int Record(const COptions& options);

}  // namespace record
