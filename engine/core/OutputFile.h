// The recording's file: a path in the file system, whatever characters it
// holds. The media is written into a new file beside it, which replaces the
// name only once the recording has started, so a failed start leaves what
// was there byte for byte. The name is locked for as long as the recording
// lasts (flock on every descriptor that stands for it), so a second
// recording of the same file, in this process or another, is refused.
#pragma once

#include <cstdint>
#include <cstddef>
#include <memory>
#include <string>

#include "port/port.h"

namespace dvengine {

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
    COutputFile();
    // Removes what Commit() did not keep.
    ~COutputFile();
    COutputFile(const COutputFile&) = delete;
    COutputFile& operator=(const COutputFile&) = delete;

    // Takes the name (UTF-8) and creates the file to write. DV_E_FILE_OPEN
    // when the name is not a regular file or a new path in an existing
    // folder, or another recording holds it; never blocks.
    HRESULT Open(const std::string& strPath);
    // Writes all of the bytes at the current offset: 0, or the errno value
    // of the failure (ENOSPC, EFBIG, EIO, ...). Never past the process's
    // file-size limit: there the write fails with EFBIG and no signal.
    int Write(const uint8_t* pData, size_t cb);
    // Writes (reads) all of the bytes at nOffset, leaving the current
    // offset where it is: 0, or the errno value of the failure. From any
    // thread, beside Write().
    int WriteAt(int64_t nOffset, const uint8_t* pData, size_t cb);
    int ReadAt(int64_t nOffset, uint8_t* pData, size_t cb);
    // Moves the offset as lseek does (SEEK_SET, SEEK_CUR, SEEK_END): the new
    // offset, or a negative errno value.
    int64_t Seek(int64_t nOffset, int nWhence);
    // The file's size, or a negative errno value.
    int64_t Size();
    // Pushes what was written to the disk, and after Commit() the name.
    bool Sync();
    // The written file takes the name.
    HRESULT Commit();
    // Closes the file (the lock goes with it); before Commit() the written
    // file is removed and the name left as it was.
    void Close();

    struct CRep;  // the platform's handles

private:
    std::unique_ptr<CRep> m_pRep;
};

}  // namespace dvengine
