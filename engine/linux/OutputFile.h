// The recording's file: a path in the file system, whatever characters it
// holds. The media is written into a new file beside it, which replaces the
// name only once the recording has started, so a failed start leaves what
// was there byte for byte. The name is locked for as long as the recording
// lasts (flock on every descriptor that stands for it), so a second
// recording of the same file, in this process or another, is refused.
#pragma once

#include <cstdint>
#include <string>

#include "port/port.h"

namespace dvlinux {

// Which file a path names (device and inode), so that two paths to one file
// are known as one.
struct CFileId {
    bool bValid = false;
    uint64_t nDevice = 0;
    uint64_t nInode = 0;
    bool operator==(const CFileId& o) const {
        return bValid && o.bValid && nDevice == o.nDevice && nInode == o.nInode;
    }
    // False when the path names nothing (yet).
    static bool Of(const std::string& strPath, CFileId* pId);
};

class COutputFile {
public:
    COutputFile() = default;
    // Removes what Commit() did not keep.
    ~COutputFile();
    COutputFile(const COutputFile&) = delete;
    COutputFile& operator=(const COutputFile&) = delete;

    // Takes the name and creates the file to write. DV_E_FILE_OPEN when the
    // name is not a regular file or a new path in an existing folder, or
    // another recording holds it; never blocks.
    HRESULT Open(const std::string& strPath);
    // The descriptor the media goes to.
    int Fd() const { return m_fdWrite; }
    // The written file takes the name.
    HRESULT Commit();
    // Closes the descriptors (the lock goes with them); before Commit() the
    // written file is removed and the name left as it was.
    void Close();

private:
    HRESULT TakeName();

    std::string m_strPath;  // the name as given, for messages
    std::string m_strName;  // the canonical name the recording replaces
    std::string m_strTemp;
    int m_fdName = -1;            // the file the name stood for, locked
    bool m_bPlaceholder = false;  // that file was created here, empty
    int m_fdWrite = -1;
    bool m_bCommitted = false;
};

}  // namespace dvlinux
