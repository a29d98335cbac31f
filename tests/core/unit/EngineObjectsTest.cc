// The engine's objects as the controller drives them, up to the point where
// a session would open the display and the audio server: inputs, properties,
// source bookkeeping, profile checks, and the statuses of a preparation that
// must fail before any device or file is touched.
#include "engine/core/OwnEngine.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "encoder/WMEncoder.h"
#include "deskvid/deskvid_status.h"
#include "engine/core/OutputFile.h"

namespace {

// OLECHAR is a UTF-16 unit on every target (wchar_t on Windows).
const OLECHAR* Ole(const char16_t* psz) {
    return reinterpret_cast<const OLECHAR*>(psz);
}

class CBstr {
public:
    explicit CBstr(const char16_t* psz) : m_bstr(SysAllocString(Ole(psz))) {}
    ~CBstr() { SysFreeString(m_bstr); }
    CBstr(const CBstr&) = delete;
    CBstr& operator=(const CBstr&) = delete;
    BSTR Get() const { return m_bstr; }

private:
    BSTR m_bstr;
};

VARIANT I2(SHORT n) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_I2;
    V_I2(&v) = n;
    return v;
}

class EngineObjectsTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(OwnEngineRegister());
        ASSERT_EQ(S_OK, RtCreateInstance(CLSID_WMEncoder, CLSCTX_INPROC_SERVER, IID_IWMEncoder,
                                         m_pEncoder.OutVoid()));
        TComPtr<IWMEncSourceGroupCollection> pCollection;
        ASSERT_EQ(S_OK, m_pEncoder->get_SourceGroupCollection(pCollection.Out()));
        CBstr name(u"SG_1");
        ASSERT_EQ(S_OK, pCollection->Add(name.Get(), m_pGroup.Out()));
    }

    HRESULT AddSource(WMENC_SOURCE_TYPE type, const char16_t* pszInput,
                      TComPtr<IWMEncSource>* ppSource = nullptr) {
        TComPtr<IWMEncSource> pSource;
        HRESULT hr = m_pGroup->AddSource(type, pSource.Out());
        if (FAILED(hr)) {
            return hr;
        }
        CBstr input(pszInput);
        CBstr empty(u"");
        hr = pSource->SetInput(input.Get(), empty.Get(), empty.Get());
        if (SUCCEEDED(hr) && type == WMENC_VIDEO) {
            TComPtr<IPropertyBag> pBag;
            hr = pSource->QueryInterface(IID_IPropertyBag, pBag.OutVoid());
            if (SUCCEEDED(hr)) {
                VARIANT v;
                VariantInit(&v);
                V_VT(&v) = VT_BOOL;
                V_BOOL(&v) = VARIANT_TRUE;
                hr = pBag->Write(Ole(u"Screen"), &v);
            }
        }
        if (ppSource != nullptr) {
            *ppSource->Out() = pSource.Detach();
        }
        return hr;
    }

    // Builds a profile as the controller does and attaches it when Validate
    // accepts it; returns Validate's (or the attachment's) status.
    HRESULT AttachProfile(LONG lContentType, LONG lBitrate, LONG lFpsTimes1000, LONG lWidth,
                          LONG lHeight, LONG lSharpness) {
        TComPtr<IWMEncProfile2> pProfile;
        HRESULT hr = RtCreateInstance(CLSID_WMEncProfile2, CLSCTX_INPROC_SERVER, IID_IWMEncProfile2,
                                      pProfile.OutVoid());
        if (FAILED(hr)) {
            return hr;
        }
        pProfile->put_ValidateMode(VARIANT_TRUE);
        pProfile->put_ContentType(lContentType);
        pProfile->put_VBRMode(WMENC_AUDIO, 0, WMENC_PVM_NONE);
        pProfile->put_VBRMode(WMENC_VIDEO, 0, WMENC_PVM_NONE);
        TComPtr<IWMEncAudienceObj> pAudience;
        hr = pProfile->AddAudience(lBitrate, pAudience.Out());
        if (FAILED(hr)) {
            return hr;
        }
        pAudience->put_VideoBitrate(0, lBitrate);
        pAudience->put_VideoHeight(0, lHeight);
        pAudience->put_VideoWidth(0, lWidth);
        pAudience->put_VideoKeyFrameDistance(0, 50000);
        pAudience->put_VideoFPS(0, lFpsTimes1000);
        pAudience->put_VideoImageSharpness(0, lSharpness);
        hr = pProfile->Validate();
        if (FAILED(hr)) {
            return hr;
        }
        TComPtr<IWMEncProfile> pPlain;
        hr = pProfile->QueryInterface(IID_IWMEncProfile, pPlain.OutVoid());
        if (FAILED(hr)) {
            return hr;
        }
        VARIANT v;
        VariantInit(&v);
        V_VT(&v) = VT_DISPATCH;
        V_DISPATCH(&v) = pPlain.Get();
        return m_pGroup->put_Profile(v);
    }

    HRESULT SetFile(const char16_t* pszFile) {
        TComPtr<IWMEncFile> pFile;
        HRESULT hr = m_pEncoder->get_File(pFile.Out());
        if (FAILED(hr)) {
            return hr;
        }
        CBstr name(pszFile);
        return pFile->put_LocalFileName(pszFile != nullptr ? name.Get() : nullptr);
    }

    SHORT Count(WMENC_SOURCE_TYPE type) {
        SHORT n = -1;
        EXPECT_EQ(S_OK, m_pGroup->get_SourceCount(type, &n));
        return n;
    }

    TComPtr<IWMEncoder> m_pEncoder;
    TComPtr<IWMEncSourceGroup> m_pGroup;
};

struct InputCase {
    const char* pszName;
    WMENC_SOURCE_TYPE type;
    const char16_t* pszInput;
    const char16_t* pszScheme;
    HRESULT hrExpected;
};

class InputTest : public EngineObjectsTest, public testing::WithParamInterface<InputCase> {};

TEST_P(InputTest, OnlyTheScreenAndTheDefaultAudioDeviceAreTaken) {
    const InputCase& c = GetParam();
    TComPtr<IWMEncSource> pSource;
    ASSERT_EQ(S_OK, m_pGroup->AddSource(c.type, pSource.Out()));
    CBstr input(c.pszInput);
    CBstr scheme(c.pszScheme);
    EXPECT_EQ(c.hrExpected, pSource->SetInput(c.pszInput != nullptr ? input.Get() : nullptr,
                                              scheme.Get(), nullptr));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InputTest,
    testing::Values(
        InputCase{"Screen", WMENC_VIDEO, u"ScreenCap://ScreenCapture1", u"", S_OK},
        InputCase{"AudioDevice", WMENC_AUDIO, u"Device://Default_Audio_Device", u"", S_OK},
        InputCase{"AudioOnVideo", WMENC_VIDEO, u"Device://Default_Audio_Device", u"",
                  DV_E_BAD_INPUT},
        InputCase{"ScreenOnAudio", WMENC_AUDIO, u"ScreenCap://ScreenCapture1", u"", DV_E_BAD_INPUT},
        InputCase{"OtherScreen", WMENC_VIDEO, u"ScreenCap://ScreenCapture2", u"", DV_E_BAD_INPUT},
        InputCase{"FileInput", WMENC_VIDEO, u"file:///tmp/in.avi", u"", DV_E_BAD_INPUT},
        InputCase{"OtherCase", WMENC_AUDIO, u"device://default_audio_device", u"", DV_E_BAD_INPUT},
        InputCase{"Null", WMENC_VIDEO, nullptr, u"", DV_E_BAD_INPUT},
        InputCase{"Scheme", WMENC_VIDEO, u"ScreenCap://ScreenCapture1", u"HTTP", DV_E_BAD_INPUT}),
    [](const testing::TestParamInfo<InputCase>& info) { return info.param.pszName; });

TEST_F(EngineObjectsTest, OnlyAVideoSourceHasAPropertyBagWithScreen) {
    TComPtr<IWMEncSource> pVideo;
    TComPtr<IWMEncSource> pAudio;
    ASSERT_EQ(S_OK, m_pGroup->AddSource(WMENC_VIDEO, pVideo.Out()));
    ASSERT_EQ(S_OK, m_pGroup->AddSource(WMENC_AUDIO, pAudio.Out()));

    TComPtr<IWMEncVideoSource2> pVideo2;
    EXPECT_EQ(S_OK, pVideo->QueryInterface(IID_IWMEncVideoSource2, pVideo2.OutVoid()));
    TComPtr<IPropertyBag> pBag;
    ASSERT_EQ(S_OK, pVideo2->QueryInterface(IID_IPropertyBag, pBag.OutVoid()));
    TComPtr<IPropertyBag> pNoBag;
    EXPECT_EQ(E_NOINTERFACE, pAudio->QueryInterface(IID_IPropertyBag, pNoBag.OutVoid()));
    EXPECT_EQ(E_NOINTERFACE, pAudio->QueryInterface(IID_IWMEncVideoSource2, pNoBag.OutVoid()));
    EXPECT_FALSE(pNoBag);

    VARIANT v;
    VariantInit(&v);
    ASSERT_EQ(S_OK, pBag->Read(Ole(u"Screen"), &v, nullptr));
    EXPECT_EQ(VT_BOOL, V_VT(&v));
    EXPECT_EQ(VARIANT_FALSE, V_BOOL(&v));
    V_BOOL(&v) = VARIANT_TRUE;
    ASSERT_EQ(S_OK, pBag->Write(Ole(u"Screen"), &v));
    VariantInit(&v);
    ASSERT_EQ(S_OK, pBag->Read(Ole(u"Screen"), &v, nullptr));
    EXPECT_EQ(VARIANT_TRUE, V_BOOL(&v));

    VARIANT n = I2(1);
    EXPECT_EQ(DISP_E_TYPEMISMATCH, pBag->Write(Ole(u"Screen"), &n));
    EXPECT_EQ(E_INVALIDARG, pBag->Write(Ole(u"Window"), &v));
    EXPECT_EQ(E_INVALIDARG, pBag->Read(Ole(u"Window"), &v, nullptr));
}

TEST_F(EngineObjectsTest, SourcesAreCountedAndRemovedPerType) {
    EXPECT_EQ(0, Count(WMENC_AUDIO));
    EXPECT_EQ(0, Count(WMENC_VIDEO));
    EXPECT_EQ(E_INVALIDARG, m_pGroup->RemoveSource(WMENC_VIDEO, I2(0)));
    ASSERT_EQ(S_OK, AddSource(WMENC_AUDIO, u"Device://Default_Audio_Device"));
    ASSERT_EQ(S_OK, AddSource(WMENC_VIDEO, u"ScreenCap://ScreenCapture1"));
    ASSERT_EQ(S_OK, AddSource(WMENC_AUDIO, u"Device://Default_Audio_Device"));
    EXPECT_EQ(2, Count(WMENC_AUDIO));
    EXPECT_EQ(1, Count(WMENC_VIDEO));
    EXPECT_EQ(E_INVALIDARG, m_pGroup->RemoveSource(WMENC_VIDEO, I2(1)));
    EXPECT_EQ(S_OK, m_pGroup->RemoveSource(WMENC_VIDEO, I2(0)));
    EXPECT_EQ(S_OK, m_pGroup->RemoveSource(WMENC_AUDIO, I2(1)));
    EXPECT_EQ(S_OK, m_pGroup->RemoveSource(WMENC_AUDIO, I2(0)));
    EXPECT_EQ(0, Count(WMENC_AUDIO));
    EXPECT_EQ(0, Count(WMENC_VIDEO));
    VARIANT s;
    VariantInit(&s);
    EXPECT_EQ(DISP_E_TYPEMISMATCH, m_pGroup->RemoveSource(WMENC_AUDIO, s));
}

TEST_F(EngineObjectsTest, ActiveIsTheGroupThatAddMade) {
    TComPtr<IWMEncSourceGroupCollection> pCollection;
    ASSERT_EQ(S_OK, m_pEncoder->get_SourceGroupCollection(pCollection.Out()));
    TComPtr<IWMEncSourceGroup> pActive;
    ASSERT_EQ(S_OK, pCollection->get_Active(pActive.Out()));
    EXPECT_EQ(m_pGroup.Get(), pActive.Get());
}

struct ValidateCase {
    const char* pszName;
    LONG lContentType;
    LONG lBitrate;
    LONG lFpsTimes1000;
    LONG lWidth;
    LONG lHeight;
    LONG lSharpness;
    HRESULT hrExpected;
};

class ValidateTest : public EngineObjectsTest, public testing::WithParamInterface<ValidateCase> {};

TEST_P(ValidateTest, ValidateAnswersWithItsOwnStatus) {
    const ValidateCase& c = GetParam();
    EXPECT_EQ(c.hrExpected, AttachProfile(c.lContentType, c.lBitrate, c.lFpsTimes1000, c.lWidth,
                                          c.lHeight, c.lSharpness));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ValidateTest,
    testing::Values(ValidateCase{"Defaults", 17, 468000, 20000, 0, 0, 100, S_OK},
                    ValidateCase{"Scaled", 17, 1000000, 30000, 640, 480, 0, S_OK},
                    ValidateCase{"ZeroBitrate", 17, 0, 20000, 0, 0, 100, DV_E_BITRATE},
                    ValidateCase{"WrappedBitrate", 17, static_cast<LONG>(3000000u * 1000u), 20000,
                                 0, 0, 100, DV_E_BITRATE},
                    ValidateCase{"ZeroFps", 17, 468000, 0, 0, 0, 100, DV_E_FPS},
                    ValidateCase{"NegativeFps", 17, 468000, -20000, 0, 0, 100, DV_E_FPS},
                    ValidateCase{"NegativeWidth", 17, 468000, 20000, -640, 0, 100, DV_E_SIZE},
                    ValidateCase{"NegativeHeight", 17, 468000, 20000, 0, -1, 100, DV_E_SIZE},
                    ValidateCase{"Sharpness101", 17, 468000, 20000, 0, 0, 101, DV_E_SHARPNESS},
                    ValidateCase{"ContentType3", 3, 468000, 20000, 0, 0, 100, DV_E_CONTENT_TYPE}),
    [](const testing::TestParamInfo<ValidateCase>& info) { return info.param.pszName; });

TEST_F(EngineObjectsTest, AProfileHasOneAudience) {
    TComPtr<IWMEncProfile2> pProfile;
    ASSERT_EQ(S_OK, RtCreateInstance(CLSID_WMEncProfile2, CLSCTX_INPROC_SERVER, IID_IWMEncProfile2,
                                     pProfile.OutVoid()));
    TComPtr<IWMEncAudienceObj> pFirst;
    TComPtr<IWMEncAudienceObj> pSecond;
    EXPECT_EQ(S_OK, pProfile->AddAudience(468000, pFirst.Out()));
    EXPECT_EQ(E_INVALIDARG, pProfile->AddAudience(468000, pSecond.Out()));
    EXPECT_FALSE(pSecond);
    EXPECT_EQ(E_INVALIDARG, pFirst->put_VideoFPS(1, 20000));  // only stream 0
}

TEST_F(EngineObjectsTest, ForeignProfileIsRefused) {
    struct CForeign : IDispatch{HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv)
                                    override{* ppv = nullptr;
    return E_NOINTERFACE;
}
ULONG STDMETHODCALLTYPE AddRef() override {
    return 2;
}
ULONG STDMETHODCALLTYPE Release() override {
    return 1;
}
PORT_DISPATCH_NOT_BY_NAME
}  // namespace
foreign;
VARIANT v;
VariantInit(&v);
V_VT(&v) = VT_DISPATCH;
V_DISPATCH(&v) = &foreign;
EXPECT_EQ(E_INVALIDARG, m_pGroup->put_Profile(v));
V_VT(&v) = VT_I2;
EXPECT_EQ(DISP_E_TYPEMISMATCH, m_pGroup->put_Profile(v));
}

TEST_F(EngineObjectsTest, NothingToDriveBeforePreparation) {
    EXPECT_EQ(DV_E_NOT_PREPARED, m_pEncoder->Start());
    EXPECT_EQ(DV_E_NOT_PREPARED, m_pEncoder->Pause());
    EXPECT_EQ(DV_E_NOT_PREPARED, m_pEncoder->Stop());
    EXPECT_EQ(S_OK, m_pEncoder->PrepareToEncode(VARIANT_FALSE));
}

// Preparations that fail before any device is opened, each with its status;
// none leaves a file behind.
struct PrepareCase {
    const char* pszName;
    bool bVideo;
    bool bAudio;
    bool bProfile;
    const char16_t* pszFile;
    bool bDisplay;
    HRESULT hrExpected;
};

// DESKVID_SCREEN set to a screen that no platform has stands for a
// display that is not there.
void SetScreenChoice(const char* pszValue) {
#ifdef _WIN32
    _putenv_s("DESKVID_SCREEN", pszValue != nullptr ? pszValue : "");
#else
    if (pszValue != nullptr) {
        setenv("DESKVID_SCREEN", pszValue, 1);
    } else {
        unsetenv("DESKVID_SCREEN");
    }
#endif
}

class PrepareTest : public EngineObjectsTest, public testing::WithParamInterface<PrepareCase> {
protected:
    void SetUp() override {
        EngineObjectsTest::SetUp();
        const char* pszScreen = std::getenv("DESKVID_SCREEN");
        m_bHadScreen = pszScreen != nullptr;
        if (m_bHadScreen) {
            m_strScreen = pszScreen;
        }
    }
    void TearDown() override {
        m_pGroup.Reset();
        m_pEncoder.Reset();
        SetScreenChoice(m_bHadScreen ? m_strScreen.c_str() : nullptr);
    }

    bool m_bHadScreen = false;
    std::string m_strScreen;
};

TEST_P(PrepareTest, FailsWithItsStatusAndLeavesNoFile) {
    const PrepareCase& c = GetParam();
    const std::string strPath = testing::TempDir() + "engine_prepare_test.wmv";
    std::remove(strPath.c_str());
    if (c.bVideo) {
        ASSERT_EQ(S_OK, AddSource(WMENC_VIDEO, u"ScreenCap://ScreenCapture1"));
    }
    if (c.bAudio) {
        ASSERT_EQ(S_OK, AddSource(WMENC_AUDIO, u"Device://Default_Audio_Device"));
    }
    if (c.bProfile) {
        ASSERT_EQ(S_OK, AttachProfile(17, 468000, 20000, 0, 0, 100));
    }
    std::u16string strFile;
    for (char ch : strPath) {
        strFile += static_cast<char16_t>(static_cast<unsigned char>(ch));
    }
    ASSERT_EQ(S_OK, SetFile(c.pszFile != nullptr ? strFile.c_str() : u""));
    if (!c.bDisplay) {
        SetScreenChoice("none");
    }
    EXPECT_EQ(c.hrExpected, m_pEncoder->PrepareToEncode(VARIANT_TRUE));
    EXPECT_EQ(DV_E_NOT_PREPARED, m_pEncoder->Start());
    EXPECT_FALSE(std::filesystem::exists(strPath));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PrepareTest,
    testing::Values(PrepareCase{"NoProfile", true, true, false, u"f", false, DV_E_NO_PROFILE},
                    PrepareCase{"NoAudioSource", true, false, true, u"f", false, DV_E_CONTENT_TYPE},
                    PrepareCase{"NoVideoSource", false, true, true, u"f", false, DV_E_CONTENT_TYPE},
                    PrepareCase{"EmptyName", true, true, true, nullptr, false, DV_E_NO_FILE_NAME},
                    PrepareCase{"NoDisplay", true, true, true, u"f", false, DV_E_NO_DISPLAY}),
    [](const testing::TestParamInfo<PrepareCase>& info) { return info.param.pszName; });

// A start with "./out.wmv" after "out.wmv" names the same file: it must be
// treated as the same name, not as a new file that would truncate the one
// being recorded.
TEST(FileIdTest, TwoPathsToOneFileAreOne) {
    const std::string strDir = testing::TempDir();
    const std::string strPath = strDir + "engine_file_id_test.wmv";
    const std::string strOther = strDir + "engine_file_id_other.wmv";
    std::remove(strPath.c_str());
    std::remove(strOther.c_str());
    dvengine::CFileId a;
    EXPECT_FALSE(dvengine::CFileId::Of(strPath, &a));
    EXPECT_FALSE(a == a);  // nothing is the same as a file that does not exist

    std::FILE* pFile = std::fopen(strPath.c_str(), "w");
    ASSERT_NE(nullptr, pFile);
    std::fclose(pFile);
    pFile = std::fopen(strOther.c_str(), "w");
    ASSERT_NE(nullptr, pFile);
    std::fclose(pFile);
    dvengine::CFileId b;
    dvengine::CFileId c;
    ASSERT_TRUE(dvengine::CFileId::Of(strPath, &a));
    ASSERT_TRUE(dvengine::CFileId::Of(strDir + "./engine_file_id_test.wmv", &b));
    ASSERT_TRUE(dvengine::CFileId::Of(strOther, &c));
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a == c);
    std::remove(strPath.c_str());
    std::remove(strOther.c_str());
}

}  // namespace
