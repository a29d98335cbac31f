// The output file as the command line treats it: an existing file is never
// replaced unless the user asked for that, and what is moved aside never
// takes the place of another file.
#pragma once

#include <string>

namespace record {

// True when something already has the name and recording would replace it.
// A character device such as /dev/null holds nothing to lose.
bool OutputIsTaken(const std::string& strFile);

// Renames the regular file strFile to FILE.partial, or the first free one of
// FILE.1.partial, FILE.2.partial, ...: never over an existing file. On
// success *pstrMoved holds the new name.
bool MoveAside(const std::string& strFile, std::string* pstrMoved);

}  // namespace record
