#include "engine/core/OutputFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "deskvid/deskvid_status.h"

namespace dvengine {
namespace {

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The name with its folder resolved (links, "..", relative paths), so that
// two spellings of one name lock and replace the same file, and a link is
// followed rather than replaced.
bool Canonical(const std::string& strPath, std::string* pstrName) {
    char szReal[PATH_MAX];
    if (realpath(strPath.c_str(), szReal) != nullptr) {
        *pstrName = szReal;
        return true;
    }
    if (errno != ENOENT) {
        return false;
    }
    const size_t nSlash = strPath.rfind('/');
    const std::string strDir = nSlash == std::string::npos ? "." : strPath.substr(0, nSlash + 1);
    const std::string strBase = nSlash == std::string::npos ? strPath : strPath.substr(nSlash + 1);
    if (strBase.empty() || strBase == "." || strBase == ".." ||
        realpath(strDir.c_str(), szReal) == nullptr) {
        return false;
    }
    *pstrName = std::string(szReal) + (szReal[1] != 0 ? "/" : "") + strBase;
    return true;
}

// The temporary name beside strName (a canonical path): hidden, with this
// process's id and a serial, and never longer than the longest name the
// folder takes, so that any name the file system accepts can be recorded.
// A long name is shortened at a character boundary (UTF-8).
std::string TempName(const std::string& strName, unsigned nSerial) {
    const size_t nSlash = strName.rfind('/');
    const std::string strDir = strName.substr(0, nSlash + 1);
    char szSuffix[48];
    std::snprintf(szSuffix, sizeof(szSuffix), ".%d.%u.part", static_cast<int>(getpid()), nSerial);
    const long nNameMax = pathconf(strDir.c_str(), _PC_NAME_MAX);
    const size_t nMax = nNameMax > 0 ? static_cast<size_t>(nNameMax) : NAME_MAX;
    std::string strBase = "." + strName.substr(nSlash + 1);
    const size_t nSuffix = std::strlen(szSuffix);
    if (strBase.size() + nSuffix > nMax) {
        size_t nKeep = nMax > nSuffix ? nMax - nSuffix : 0;
        while (nKeep > 1 && (static_cast<unsigned char>(strBase[nKeep]) & 0xC0) == 0x80) {
            --nKeep;
        }
        strBase.resize(nKeep);
    }
    return strDir + strBase + szSuffix;
}

// How many of cb bytes may be written at nOffset under the process's
// file-size limit. A write that starts at the limit raises SIGXFSZ, which
// ends the host unless it ignores the signal, and the host's signal
// dispositions are not ours to change: so no write ever reaches past it.
size_t Writable(int64_t nOffset, size_t cb) {
    rlimit limit = {};
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return cb;
    }
    const auto nLimit = static_cast<uint64_t>(limit.rlim_cur);
    const auto nAt = static_cast<uint64_t>(std::max<int64_t>(nOffset, 0));
    return nAt >= nLimit ? 0 : static_cast<size_t>(std::min<uint64_t>(cb, nLimit - nAt));
}

}  // namespace

bool CFileId::Of(const std::string& strPath, CFileId* pId) {
    struct stat st;
    if (stat(strPath.c_str(), &st) != 0) {
        return false;
    }
    pId->bValid = true;
    pId->nDevice = st.st_dev;
    pId->nInode = st.st_ino;
    return true;
}

// The name's descriptor, locked, and the descriptor the media goes to.
struct COutputFile::CRep {
    ~CRep();
    HRESULT Open(const std::string& strPath);
    HRESULT TakeName();
    HRESULT Commit();
    void Close();

    std::string m_strPath;  // the name as given, for messages
    std::string m_strName;  // the canonical name the recording replaces
    std::string m_strTemp;
    int m_fdName = -1;            // the file the name stood for, locked
    bool m_bPlaceholder = false;  // that file was created here, empty
    int m_fdWrite = -1;
    bool m_bCommitted = false;
    bool m_bNameSynced = false;  // the folder's entry for the name is on the disk
};

COutputFile::CRep::~CRep() {
    Close();
}

HRESULT COutputFile::CRep::Open(const std::string& strPath) {
    m_strPath = strPath;
    if (!Canonical(strPath, &m_strName)) {
        return DV_E_FILE_OPEN;
    }
    HRESULT hr = TakeName();
    if (FAILED(hr)) {
        Close();
        return hr;
    }
    // The new file beside the name, so that the rename stays in one file
    // system; an existing file's permissions carry over.
    struct stat st = {};
    fstat(m_fdName, &st);
    static std::atomic<unsigned> s_nSerial{0};
    for (int i = 0; i < 100 && m_fdWrite < 0; ++i) {
        m_strTemp = TempName(m_strName, s_nSerial++);
        m_fdWrite = open(m_strTemp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                         m_bPlaceholder ? 0666 : (st.st_mode & 0666));
        if (m_fdWrite < 0 && errno != EEXIST) {
            break;
        }
    }
    if (m_fdWrite < 0) {
        m_strTemp.clear();
        Close();
        return DV_E_FILE_OPEN;
    }
    flock(m_fdWrite, LOCK_EX | LOCK_NB);
    return S_OK;
}

// Locks the file the name stands for (creating an empty one when there is
// none), and checks afterwards that the name still stands for it.
HRESULT COutputFile::CRep::TakeName() {
    const char* pszName = m_strName.c_str();
    for (int nTry = 0; nTry < 10; ++nTry) {
        // Opened for writing, since the recording replaces it (a file this
        // user may not write is refused, as it always was); non-blocking, so
        // that a FIFO answers at once (ENXIO without a reader) rather than
        // waiting; O_NOCTTY so that a terminal does not become ours.
        m_bPlaceholder = false;
        // Something that is not a file is refused without being opened at
        // all (opening a device may do something); fstat below catches one
        // that replaces the file in between.
        struct stat stBefore = {};
        if (stat(pszName, &stBefore) == 0 && !S_ISREG(stBefore.st_mode)) {
            return DV_E_FILE_OPEN;
        }
        m_fdName = open(pszName, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (m_fdName < 0 && errno == ENOENT) {
            m_fdName = open(pszName, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
            if (m_fdName < 0 && errno == EEXIST) {
                continue;
            }
            m_bPlaceholder = m_fdName >= 0;
        }
        if (m_fdName < 0) {
            return DV_E_FILE_OPEN;
        }
        struct stat st = {};
        if (fstat(m_fdName, &st) != 0 || !S_ISREG(st.st_mode)) {
            // A FIFO, a directory, a device (/dev/null included): not a
            // file that can hold a recording.
            return DV_E_FILE_OPEN;
        }
        // Where locks are not offered at all the recording goes on unguarded.
        if (flock(m_fdName, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
            return DV_E_FILE_OPEN;
        }
        struct stat stNow = {};
        if (lstat(pszName, &stNow) == 0 && SameFile(st, stNow)) {
            return S_OK;
        }
        // Replaced while being locked: take the name again.
        close(m_fdName);
        m_fdName = -1;
    }
    return DV_E_FILE_OPEN;
}

HRESULT COutputFile::CRep::Commit() {
    if (m_bCommitted) {
        return S_OK;
    }
    if (m_fdWrite < 0 || rename(m_strTemp.c_str(), m_strName.c_str()) != 0) {
        return DV_E_FILE_OPEN;
    }
    m_bCommitted = true;
    m_bPlaceholder = false;
    return S_OK;
}

void COutputFile::CRep::Close() {
    if (!m_bCommitted && !m_strTemp.empty()) {
        unlink(m_strTemp.c_str());
    }
    m_strTemp.clear();
    if (m_bPlaceholder) {
        // Only the empty file this start created, if the name still has it.
        struct stat st = {};
        struct stat stNow = {};
        if (fstat(m_fdName, &st) == 0 && lstat(m_strName.c_str(), &stNow) == 0 &&
            SameFile(st, stNow)) {
            unlink(m_strName.c_str());
        }
        m_bPlaceholder = false;
    }
    if (m_fdWrite >= 0) {
        close(m_fdWrite);
        m_fdWrite = -1;
    }
    if (m_fdName >= 0) {
        close(m_fdName);
        m_fdName = -1;
    }
}

COutputFile::COutputFile() = default;
COutputFile::~COutputFile() = default;

HRESULT COutputFile::Open(const std::string& strPath) {
    m_pRep.reset(new (std::nothrow) CRep);
    return m_pRep ? m_pRep->Open(strPath) : E_OUTOFMEMORY;
}

// At the current offset: the same writes as in place, then the offset moved
// past them.
int COutputFile::Write(const uint8_t* pData, size_t cb) {
    if (!m_pRep || m_pRep->m_fdWrite < 0) {
        return EBADF;
    }
    const int fd = m_pRep->m_fdWrite;
    const off_t nOffset = lseek(fd, 0, SEEK_CUR);
    if (nOffset < 0) {
        return errno;
    }
    const int nError = WriteAt(nOffset, pData, cb);
    if (nError == 0 && lseek(fd, nOffset + static_cast<off_t>(cb), SEEK_SET) < 0) {
        return errno;
    }
    return nError;
}

int COutputFile::WriteAt(int64_t nOffset, const uint8_t* pData, size_t cb) {
    if (!m_pRep || m_pRep->m_fdWrite < 0) {
        return EBADF;
    }
    size_t cbDone = 0;
    while (cbDone < cb) {
        const int64_t nAt = nOffset + static_cast<int64_t>(cbDone);
        const size_t cbNow = Writable(nAt, cb - cbDone);
        if (cbNow == 0) {
            return EFBIG;
        }
        const ssize_t n = pwrite(m_pRep->m_fdWrite, pData + cbDone, cbNow, nAt);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? errno : EIO;
        }
        cbDone += static_cast<size_t>(n);
    }
    return 0;
}

int COutputFile::ReadAt(int64_t nOffset, uint8_t* pData, size_t cb) {
    if (!m_pRep || m_pRep->m_fdWrite < 0) {
        return EBADF;
    }
    size_t cbDone = 0;
    while (cbDone < cb) {
        const ssize_t n =
            pread(m_pRep->m_fdWrite, pData + cbDone, cb - cbDone, nOffset + int64_t(cbDone));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? errno : EIO;
        }
        cbDone += static_cast<size_t>(n);
    }
    return 0;
}

int64_t COutputFile::Seek(int64_t nOffset, int nWhence) {
    if (!m_pRep || m_pRep->m_fdWrite < 0) {
        return -EBADF;
    }
    const off_t n = lseek(m_pRep->m_fdWrite, nOffset, nWhence);
    return n < 0 ? -errno : n;
}

int64_t COutputFile::Size() {
    struct stat st;
    if (!m_pRep || m_pRep->m_fdWrite < 0) {
        return -EBADF;
    }
    return fstat(m_pRep->m_fdWrite, &st) == 0 ? st.st_size : -errno;
}

bool COutputFile::Sync() {
    if (!m_pRep || m_pRep->m_fdWrite < 0 || fdatasync(m_pRep->m_fdWrite) != 0) {
        return false;
    }
    // Once the file has the name, the folder's entry for it goes to the disk
    // too (once: a folder that cannot be synced is not a failed recording).
    if (m_pRep->m_bCommitted && !m_pRep->m_bNameSynced) {
        m_pRep->m_bNameSynced = true;
        const std::string& strName = m_pRep->m_strName;
        const int fdDir = open(strName.substr(0, strName.rfind('/') + 1).c_str(),
                               O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fdDir >= 0) {
            fsync(fdDir);
            close(fdDir);
        }
    }
    return true;
}

HRESULT COutputFile::Commit() {
    return m_pRep ? m_pRep->Commit() : DV_E_FILE_OPEN;
}

void COutputFile::Close() {
    if (m_pRep) {
        m_pRep->Close();
    }
}

}  // namespace dvengine
