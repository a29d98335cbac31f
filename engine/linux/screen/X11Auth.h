// The cookie an X server expects, from the authority file, found as the X
// libraries find it but never waited on past a deadline: libXau reads the
// file blocking, and a FIFO or a network home that does not answer would
// hold the start for good.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>

namespace dvengine {

constexpr const char kX11CookieName[] = "MIT-MAGIC-COOKIE-1";

// The cookie for the server at peer (AF_UNIX: this machine), display
// nDisplay: a local or loopback server by this host's name, else by address.
// False when the authority file could not be read by nDeadlineUs; true with
// *pstrCookie empty when the file holds no entry for the server (or there is
// none, or it is not a regular file).
bool LookUpX11Cookie(const sockaddr_storage& peer, int nDisplay, int64_t nDeadlineUs,
                     std::string* pstrCookie);

}  // namespace dvengine
