// The recording's file on Windows. The name is held open for writing with
// a share mode that admits readers only, so a second recording of the same
// file (in any spelling, in any process) is refused; the media goes into a
// new file beside it, which takes the name only once the recording has
// started: the name's handle is closed and the new file renamed over it
// through its own handle (a name still held open cannot be replaced).
#include "engine/core/OutputFile.h"

#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "deskvid/deskvid_status.h"

namespace dvengine {
namespace {

bool StartsWith(const std::wstring& str, const wchar_t* pszPrefix) {
    return str.compare(0, wcslen(pszPrefix), pszPrefix) == 0;
}

// The name as a full path in the file system, in the form that lifts the
// length limit ("\\?\C:\...", "\\?\UNC\server\share\..."). False for what
// is not a path in the file system: devices ("NUL", "COM1", "nul.wmv" and
// every "\\.\..." name), names of the object manager, text that is not
// UTF-8.
bool FullPath(const std::string& strPath, std::wstring* pwstrFull) {
    if (strPath.empty() || strPath.find('\0') != std::string::npos) {
        return false;
    }
    const int cch = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, strPath.data(),
                                        static_cast<int>(strPath.size()), nullptr, 0);
    if (cch <= 0) {
        return false;
    }
    std::wstring wstr(static_cast<size_t>(cch), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, strPath.data(),
                        static_cast<int>(strPath.size()), &wstr[0], cch);
    for (wchar_t& ch : wstr) {
        if (ch == L'/') {
            ch = L'\\';
        }
    }
    if (StartsWith(wstr, L"\\\\?\\")) {
        // Already the long form: only a drive or a share, taken as it is.
        const bool bDrive = wstr.size() > 6 && wstr[5] == L':' && wstr[6] == L'\\';
        if (!bDrive && !StartsWith(wstr, L"\\\\?\\UNC\\")) {
            return false;
        }
        *pwstrFull = wstr;
        return true;
    }
    if (StartsWith(wstr, L"\\\\.\\") || StartsWith(wstr, L"\\??\\")) {
        return false;
    }
    const DWORD cchFull = GetFullPathNameW(wstr.c_str(), 0, nullptr, nullptr);
    if (cchFull == 0) {
        return false;
    }
    std::wstring wstrFull(cchFull, L'\0');
    const DWORD cchDone = GetFullPathNameW(wstr.c_str(), cchFull, &wstrFull[0], nullptr);
    if (cchDone == 0 || cchDone >= cchFull) {
        return false;
    }
    wstrFull.resize(cchDone);
    // Reserved device names come back as "\\.\NUL", "\\.\COM1".
    if (StartsWith(wstrFull, L"\\\\.\\") || StartsWith(wstrFull, L"\\\\?\\")) {
        return false;
    }
    if (StartsWith(wstrFull, L"\\\\")) {
        *pwstrFull = L"\\\\?\\UNC\\" + wstrFull.substr(2);
    } else if (wstrFull.size() > 2 && wstrFull[1] == L':' && wstrFull[2] == L'\\') {
        *pwstrFull = L"\\\\?\\" + wstrFull;
    } else {
        return false;
    }
    // The long form takes ".." literally: there must be none left.
    return pwstrFull->find(L"\\..\\") == std::wstring::npos && pwstrFull->back() != L'\\' &&
           pwstrFull->back() != L'.';
}

bool SetDisposition(HANDLE h, bool bDelete) {
    FILE_DISPOSITION_INFO info = {};
    info.DeleteFile = bDelete ? TRUE : FALSE;
    return SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof(info)) != 0;
}

}  // namespace

bool CFileId::Of(const std::string& strPath, CFileId* pId) {
    std::wstring wstrFull;
    if (!FullPath(strPath, &wstrFull)) {
        return false;
    }
    HANDLE h =
        CreateFileW(wstrFull.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    const bool bOk = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    if (!bOk) {
        return false;
    }
    pId->bValid = true;
    pId->nDevice = info.dwVolumeSerialNumber;
    pId->nInode = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

// The name's handle, held without write sharing, and the new file's.
struct COutputFile::CRep {
    ~CRep() { Close(); }
    HRESULT Open(const std::string& strPath);
    HRESULT TakeName();
    HRESULT Commit();
    void Close();

    std::wstring m_wstrName;  // the full name the recording replaces
    HANDLE m_hName = INVALID_HANDLE_VALUE;
    bool m_bPlaceholder = false;  // the name's file was created here, empty
    HANDLE m_hWrite = INVALID_HANDLE_VALUE;
    bool m_bCommitted = false;
    // A positioned write on a synchronous handle moves its offset too: the
    // writes in place put it back, and nothing writes in between.
    std::mutex m_mutexIo;
};

namespace {

// The errno value for a failed write.
int WriteError() {
    const DWORD dwError = GetLastError();
    return dwError == ERROR_DISK_FULL || dwError == ERROR_HANDLE_DISK_FULL ? ENOSPC : EIO;
}

// Reads or writes all of cb bytes at nOffset, then puts the handle's offset
// back where it was.
int TransferAt(HANDLE h, int64_t nOffset, uint8_t* pData, size_t cb, bool bWrite) {
    LARGE_INTEGER liHere;
    LARGE_INTEGER liZero;
    liZero.QuadPart = 0;
    if (!SetFilePointerEx(h, liZero, &liHere, FILE_CURRENT)) {
        return EIO;
    }
    int nError = 0;
    while (cb > 0 && nError == 0) {
        OVERLAPPED ov = {};
        ov.Offset = static_cast<DWORD>(static_cast<uint64_t>(nOffset) & 0xFFFFFFFFu);
        ov.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(nOffset) >> 32);
        const DWORD cbChunk = cb > 0x10000000u ? 0x10000000u : static_cast<DWORD>(cb);
        DWORD cbDone = 0;
        const BOOL bOk = bWrite ? WriteFile(h, pData, cbChunk, &cbDone, &ov)
                                : ReadFile(h, pData, cbChunk, &cbDone, &ov);
        if (!bOk || cbDone == 0) {
            nError = bWrite ? WriteError() : EIO;
            break;
        }
        pData += cbDone;
        cb -= cbDone;
        nOffset += cbDone;
    }
    SetFilePointerEx(h, liHere, nullptr, FILE_BEGIN);
    return nError;
}

}  // namespace

HRESULT COutputFile::CRep::Open(const std::string& strPath) {
    if (!FullPath(strPath, &m_wstrName)) {
        return DV_E_FILE_OPEN;
    }
    HRESULT hr = TakeName();
    if (FAILED(hr)) {
        Close();
        return hr;
    }
    // The new file in the same folder, so that the rename stays on one
    // volume; a short name of its own, so that it is legal wherever the
    // name is.
    const std::wstring wstrDir = m_wstrName.substr(0, m_wstrName.rfind(L'\\') + 1);
    static std::atomic<unsigned> s_nSerial{0};
    for (int i = 0; i < 100 && m_hWrite == INVALID_HANDLE_VALUE; ++i) {
        wchar_t szTemp[64];
        swprintf(szTemp, 64, L".deskvid.%lu.%u.part", GetCurrentProcessId(), s_nSerial++);
        m_hWrite = CreateFileW((wstrDir + szTemp).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                               FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (m_hWrite == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
            break;
        }
    }
    if (m_hWrite == INVALID_HANDLE_VALUE) {
        Close();
        return DV_E_FILE_OPEN;
    }
    return S_OK;
}

// Opens the file the name stands for (creating an empty one where there is
// none) for writing, so that nobody else may write it.
HRESULT COutputFile::CRep::TakeName() {
    // What exists and is no plain file (a folder, a device, a link) is
    // refused without being opened.
    const DWORD dwAttributes = GetFileAttributesW(m_wstrName.c_str());
    if (dwAttributes != INVALID_FILE_ATTRIBUTES &&
        (dwAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        return DV_E_FILE_OPEN;
    }
    const DWORD dwShare = FILE_SHARE_READ | FILE_SHARE_DELETE;
    for (int nTry = 0; nTry < 10; ++nTry) {
        m_bPlaceholder = false;
        // An existing file is held for writing only, so that readers (who
        // do not share deletion) may still read it; only the empty file
        // created here needs the right to remove it.
        m_hName = CreateFileW(m_wstrName.c_str(), GENERIC_WRITE, dwShare, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (m_hName == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND) {
            m_hName = CreateFileW(m_wstrName.c_str(), GENERIC_WRITE | DELETE, dwShare, nullptr,
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (m_hName == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) {
                continue;
            }
            m_bPlaceholder = m_hName != INVALID_HANDLE_VALUE;
        }
        if (m_hName == INVALID_HANDLE_VALUE) {
            // Held by another writer (ERROR_SHARING_VIOLATION), read-only,
            // a folder that does not exist.
            return DV_E_FILE_OPEN;
        }
        BY_HANDLE_FILE_INFORMATION info = {};
        if (GetFileType(m_hName) != FILE_TYPE_DISK || !GetFileInformationByHandle(m_hName, &info) ||
            (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
            return DV_E_FILE_OPEN;
        }
        return S_OK;
    }
    return DV_E_FILE_OPEN;
}

HRESULT COutputFile::CRep::Commit() {
    if (m_bCommitted) {
        return S_OK;
    }
    if (m_hWrite == INVALID_HANDLE_VALUE) {
        return DV_E_FILE_OPEN;
    }
    // The name cannot be replaced while it is held open: let it go, then
    // move the new file over it. The empty file created here is deleted as
    // it is let go, never closed alive: another program (an indexer, a
    // virus scanner) that opened it meanwhile holds it only until it closes
    // it, the rename (which then finds the name taken) is refused, and
    // nothing is left behind. An existing file stays as it was when the
    // rename over it is refused.
    bool bReplace = true;
    if (m_hName != INVALID_HANDLE_VALUE) {
        bReplace = !(m_bPlaceholder && SetDisposition(m_hName, true));
        CloseHandle(m_hName);
        m_hName = INVALID_HANDLE_VALUE;
        m_bPlaceholder = false;
    }
    const size_t cbName = m_wstrName.size() * sizeof(wchar_t);
    std::vector<uint8_t> buffer(sizeof(FILE_RENAME_INFO) + cbName);
    auto* pInfo = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    pInfo->ReplaceIfExists = bReplace ? TRUE : FALSE;
    pInfo->RootDirectory = nullptr;
    pInfo->FileNameLength = static_cast<DWORD>(cbName);
    std::memcpy(pInfo->FileName, m_wstrName.data(), cbName);
    if (!SetFileInformationByHandle(m_hWrite, FileRenameInfo, pInfo,
                                    static_cast<DWORD>(buffer.size()))) {
        return DV_E_FILE_OPEN;
    }
    m_bCommitted = true;
    m_bPlaceholder = false;
    return S_OK;
}

void COutputFile::CRep::Close() {
    if (m_hWrite != INVALID_HANDLE_VALUE) {
        if (!m_bCommitted) {
            SetDisposition(m_hWrite, true);
        }
        CloseHandle(m_hWrite);
        m_hWrite = INVALID_HANDLE_VALUE;
    }
    if (m_hName != INVALID_HANDLE_VALUE) {
        // Only the empty file this start created goes.
        if (m_bPlaceholder) {
            SetDisposition(m_hName, true);
        }
        CloseHandle(m_hName);
        m_hName = INVALID_HANDLE_VALUE;
    }
    m_bPlaceholder = false;
}

COutputFile::COutputFile() = default;
COutputFile::~COutputFile() = default;

HRESULT COutputFile::Open(const std::string& strPath) {
    m_pRep.reset(new (std::nothrow) CRep);
    return m_pRep ? m_pRep->Open(strPath) : E_OUTOFMEMORY;
}

int COutputFile::Write(const uint8_t* pData, size_t cb) {
    if (!m_pRep || m_pRep->m_hWrite == INVALID_HANDLE_VALUE) {
        return EBADF;
    }
    std::lock_guard<std::mutex> lock(m_pRep->m_mutexIo);
    while (cb > 0) {
        const DWORD cbChunk = cb > 0x10000000u ? 0x10000000u : static_cast<DWORD>(cb);
        DWORD cbDone = 0;
        if (!WriteFile(m_pRep->m_hWrite, pData, cbChunk, &cbDone, nullptr) || cbDone == 0) {
            return WriteError();
        }
        pData += cbDone;
        cb -= cbDone;
    }
    return 0;
}

int COutputFile::WriteAt(int64_t nOffset, const uint8_t* pData, size_t cb) {
    if (!m_pRep || m_pRep->m_hWrite == INVALID_HANDLE_VALUE) {
        return EBADF;
    }
    std::lock_guard<std::mutex> lock(m_pRep->m_mutexIo);
    return TransferAt(m_pRep->m_hWrite, nOffset, const_cast<uint8_t*>(pData), cb, true);
}

int COutputFile::ReadAt(int64_t nOffset, uint8_t* pData, size_t cb) {
    if (!m_pRep || m_pRep->m_hWrite == INVALID_HANDLE_VALUE) {
        return EBADF;
    }
    std::lock_guard<std::mutex> lock(m_pRep->m_mutexIo);
    return TransferAt(m_pRep->m_hWrite, nOffset, pData, cb, false);
}

int64_t COutputFile::Seek(int64_t nOffset, int nWhence) {
    if (!m_pRep || m_pRep->m_hWrite == INVALID_HANDLE_VALUE) {
        return -EBADF;
    }
    std::lock_guard<std::mutex> lock(m_pRep->m_mutexIo);
    const DWORD dwMethod = nWhence == SEEK_SET   ? FILE_BEGIN
                           : nWhence == SEEK_CUR ? FILE_CURRENT
                           : nWhence == SEEK_END ? FILE_END
                                                 : 0xFFFFFFFFu;
    LARGE_INTEGER liMove;
    LARGE_INTEGER liNew;
    liMove.QuadPart = nOffset;
    if (dwMethod == 0xFFFFFFFFu || !SetFilePointerEx(m_pRep->m_hWrite, liMove, &liNew, dwMethod)) {
        return -EINVAL;
    }
    return liNew.QuadPart;
}

int64_t COutputFile::Size() {
    LARGE_INTEGER li;
    if (!m_pRep || m_pRep->m_hWrite == INVALID_HANDLE_VALUE) {
        return -EBADF;
    }
    return GetFileSizeEx(m_pRep->m_hWrite, &li) ? li.QuadPart : -EIO;
}

bool COutputFile::Sync() {
    return m_pRep && m_pRep->m_hWrite != INVALID_HANDLE_VALUE &&
           FlushFileBuffers(m_pRep->m_hWrite) != 0;
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
