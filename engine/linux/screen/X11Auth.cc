#include "engine/linux/screen/X11Auth.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/core/Clock.h"

namespace dvengine {

namespace {

// Address families of the authority file (X11/X.h and X11/Xauth.h, not
// included for their macros).
constexpr uint16_t kFamilyInternet = 0;
constexpr uint16_t kFamilyInternet6 = 6;
constexpr uint16_t kFamilyLocal = 256;
constexpr uint16_t kFamilyWild = 65535;
// Larger is not an authority file.
constexpr off_t kMaxAuthFileBytes = 1 << 20;

// The authority file's name, found as the X libraries find it.
std::string AuthFileName() {
    const char* psz = getenv("XAUTHORITY");
    if (psz && *psz) {
        return psz;
    }
    psz = getenv("HOME");
    return psz && *psz ? std::string(psz) + "/.Xauthority" : std::string();
}

// The contents of a regular file of an authority file's size; nothing for
// anything else, such as a FIFO or a device, which could block or never end.
std::string ReadRegularFile(const std::string& strPath) {
    std::string str;
    int fd = open(strPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return str;
    }
    struct stat st = {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxAuthFileBytes) {
        str.resize(static_cast<size_t>(st.st_size));
        size_t cb = 0;
        while (cb < str.size()) {
            ssize_t n = read(fd, &str[cb], str.size() - cb);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            cb += static_cast<size_t>(n);
        }
        str.resize(cb);
    }
    close(fd);
    return str;
}

// Pins this library in memory for good: a thread left running code of ours
// must not outlive it.
void KeepLoaded() {
    Dl_info info = {};
    if (dladdr(reinterpret_cast<void*>(&KeepLoaded), &info) && info.dli_fname) {
        dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);  // never closed
    }
}

// The authority file's contents by nDeadlineUs (empty when there is none);
// false at the deadline. It is read on a thread of its own: a network home
// that does not answer holds that thread in the kernel, never the start. A
// thread still reading at the deadline is left to finish alone.
bool ReadAuthFile(int64_t nDeadlineUs, std::string* pstrFile) {
    struct CRead {
        std::mutex lock;
        std::condition_variable cv;
        bool bDone = false;
        std::string strFile;
    };
    try {
        const std::string strPath = AuthFileName();
        if (strPath.empty()) {
            return true;
        }
        auto pRead = std::make_shared<CRead>();
        std::thread thread([pRead, strPath] {
            std::string str;
            try {
                str = ReadRegularFile(strPath);
            } catch (...) {
                str.clear();  // out of memory: no authority
            }
            std::lock_guard<std::mutex> guard(pRead->lock);
            pRead->strFile.swap(str);
            pRead->bDone = true;
            pRead->cv.notify_one();
        });
        bool bDone = false;
        try {
            std::unique_lock<std::mutex> guard(pRead->lock);
            int64_t nLeft = nDeadlineUs - MonotonicUs();
            bDone = pRead->cv.wait_for(guard, std::chrono::microseconds(nLeft > 0 ? nLeft : 0),
                                       [&] { return pRead->bDone; });
        } catch (...) {
            bDone = false;
        }
        if (!bDone) {
            KeepLoaded();
            thread.detach();
            return false;
        }
        thread.join();
        pstrFile->swap(pRead->strFile);
        return true;
    } catch (...) {
        return false;
    }
}

// The secret of the authority entry for the server at (nFamily, strAddress),
// display strNumber, in the file's contents, chosen as the X libraries choose:
// the first entry for that address (or any address) and display (or any
// display) with the one protocol we speak. False when there is none.
bool FindAuth(const std::string& strFile, uint16_t nFamily, const std::string& strAddress,
              const std::string& strNumber, std::string* pstrData) {
    size_t i = 0;
    auto Number = [&](uint16_t* pn) {
        if (strFile.size() - i < 2) {
            return false;
        }
        *pn = static_cast<uint16_t>(static_cast<uint8_t>(strFile[i]) << 8 |
                                    static_cast<uint8_t>(strFile[i + 1]));
        i += 2;
        return true;
    };
    auto Counted = [&](std::string* pstr) {
        uint16_t cb = 0;
        if (!Number(&cb) || strFile.size() - i < cb) {
            return false;
        }
        pstr->assign(strFile, i, cb);
        i += cb;
        return true;
    };
    for (;;) {
        uint16_t nEntryFamily = 0;
        std::string strEntryAddress, strEntryNumber, strName, strData;
        if (!Number(&nEntryFamily) || !Counted(&strEntryAddress) || !Counted(&strEntryNumber) ||
            !Counted(&strName) || !Counted(&strData)) {
            return false;
        }
        if ((nEntryFamily == kFamilyWild ||
             (nEntryFamily == nFamily && strEntryAddress == strAddress)) &&
            (strEntryNumber.empty() || strEntryNumber == strNumber) && strName == kX11CookieName) {
            pstrData->swap(strData);
            return true;
        }
    }
}

}  // namespace

bool LookUpX11Cookie(const sockaddr_storage& peer, int nDisplay, int64_t nDeadlineUs,
                     std::string* pstrCookie) {
    uint16_t nFamily = kFamilyLocal;
    std::string strAddress;
    if (peer.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(peer);
        if ((ntohl(in.sin_addr.s_addr) >> 24) != 127) {
            nFamily = kFamilyInternet;
            strAddress.assign(reinterpret_cast<const char*>(&in.sin_addr), 4);
        }
    } else if (peer.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(peer);
        if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
            if (in6.sin6_addr.s6_addr[12] != 127) {
                nFamily = kFamilyInternet;
                strAddress.assign(reinterpret_cast<const char*>(in6.sin6_addr.s6_addr + 12), 4);
            }
        } else if (!IN6_IS_ADDR_LOOPBACK(&in6.sin6_addr)) {
            nFamily = kFamilyInternet6;
            strAddress.assign(reinterpret_cast<const char*>(in6.sin6_addr.s6_addr), 16);
        }
    }
    if (nFamily == kFamilyLocal) {
        char szHost[256] = {};
        gethostname(szHost, sizeof szHost - 1);
        strAddress = szHost;
    }
    std::string strFile;
    if (!ReadAuthFile(nDeadlineUs, &strFile)) {
        return false;
    }
    if (!FindAuth(strFile, nFamily, strAddress, std::to_string(nDisplay), pstrCookie)) {
        pstrCookie->clear();
    }
    return true;
}

}  // namespace dvengine
