// The portal's restore token: what spares the user the question "share the
// screen?" on later starts. One per user, private to them.
#pragma once

#include <string>

namespace dvengine {

// $XDG_STATE_HOME/deskvid/screencast-token (by default under
// ~/.local/state); empty when neither variable names a folder.
std::string PortalTokenPath();

// The stored token, or empty when there is none or it is not one.
std::string ReadPortalToken(const std::string& strPath);

// Replaces the stored token atomically, creating its folders private to the
// user; an empty token removes it.
void WritePortalToken(const std::string& strPath, const std::string& strToken);

}  // namespace dvengine
