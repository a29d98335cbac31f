// The one place where portable code meets the platform. Everything above this
// header (base/, runtime/, capture/, plugin/) is written once against the names
// it provides: on Windows they are the system's own COM types and primitives,
// elsewhere small equivalents of ours with the same names and meaning.
#pragma once

#if defined(_WIN32)
#include "port/port_win.h"
#else
#include "port/port_posix.h"
#endif
