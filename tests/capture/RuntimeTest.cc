// The runtime pieces that the controller relies on for exact engine input.
#include <gtest/gtest.h>

#include <string>

#include <deskvid/deskvid_status.h>

#include <set>

#include "capture/CaptureSources.h"
#include "runtime/Runtime.h"

namespace {

TEST(RuntimeTest, NarrowTextsBecomeUtf16) {
#ifndef _WIN32
    CWideString ws("caf\xC3\xA9 \xF0\x9F\x8E\xA5");
    ASSERT_NE(ws.Get(), nullptr);
    EXPECT_EQ(std::u16string(ws.Get()), u"caf\u00E9 \U0001F3A5");
    EXPECT_EQ(SysStringLen(ws.Get()), 7u);
#endif
    CWideString wsNull(static_cast<const char*>(nullptr));
    EXPECT_EQ(wsNull.Get(), nullptr);
    CWideString wsEmpty("");
    ASSERT_NE(wsEmpty.Get(), nullptr);
    EXPECT_EQ(wsEmpty.Get()[0], 0);
}

TEST(RuntimeTest, EmptyWideStringIsOneConstantOfLengthZero) {
    EXPECT_EQ(EmptyWideString(), EmptyWideString());
    EXPECT_EQ(EmptyWideString()[0], 0);
    EXPECT_EQ(SysStringLen(EmptyWideString()), 0u);
}

const CLSID kTestClass = {0x12345678, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};

HRESULT RefuseContext(REFCLSID, DWORD dwClsContext, REFIID, void** ppv) {
    *ppv = nullptr;
    return static_cast<HRESULT>(0x80000000u | dwClsContext);
}

TEST(RuntimeTest, ClassTableRegistersAndRevokes) {
    void* pv = &pv;
    EXPECT_EQ(RtCreateInstance(kTestClass, CLSCTX_INPROC_SERVER, IID_IUnknown, &pv),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(pv, nullptr);
    ASSERT_TRUE(RtRegisterClass(kTestClass, RefuseContext));
    EXPECT_EQ(RtCreateInstance(kTestClass, 5, IID_IUnknown, &pv),
              static_cast<HRESULT>(0x80000005u));
    RtRevokeClass(kTestClass);
    EXPECT_EQ(RtCreateInstance(kTestClass, CLSCTX_INPROC_SERVER, IID_IUnknown, &pv),
              REGDB_E_CLASSNOTREG);
}

// A host shows these lines for whatever a command returned: a device lost in
// the middle of a recording comes back from stop with the status of one that
// could not be opened, and a success without an object as E_POINTER.
TEST(StatusTextTest, EachStatusOnceAndFitForEveryCause) {
    std::set<int32_t> seen;
    for (const DESKVID_STATUS_TEXT& entry : g_rgDeskVidStatusText) {
        EXPECT_TRUE(seen.insert(entry.hr).second) << std::hex << entry.hr;
        EXPECT_NE(std::string(entry.pszText), "");
    }
    for (int32_t hr : {DV_E_NO_AUDIO, DV_E_NO_DISPLAY, DV_E_ENCODER}) {
        EXPECT_NE(std::string(DeskVidStatusText(hr)).find("while recording"), std::string::npos)
            << DeskVidStatusText(hr);
    }
    EXPECT_NE(std::string(DeskVidStatusText(E_POINTER)).find("no object"), std::string::npos);
    EXPECT_STREQ(DeskVidStatusText(static_cast<int32_t>(0x80041234u)), "failure");
}

}  // namespace
