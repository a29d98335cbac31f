// What the tests that drive programs from outside share: the child-process
// runner that deskvid-record and the benchmark use too, and scratch folders.
#pragma once

#include <string>

#include "tools/hostlib/ChildProcess.h"

namespace testproc {

using hostlib::CChildProcess;
using hostlib::RunToEnd;
using hostlib::SRunResult;

// A fresh empty folder under $TMPDIR, removed with everything in it when the
// object goes.
class CTempDir {
public:
    CTempDir();
    ~CTempDir();
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;
    const std::string& Path() const { return m_strPath; }
    std::string File(const std::string& strName) const { return m_strPath + "/" + strName; }

private:
    std::string m_strPath;
};

bool FileExists(const std::string& strPath);

}  // namespace testproc
