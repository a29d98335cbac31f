#include "capture/CaptureSources.h"

namespace {

const char kAudioInput[] = "Device://Default_Audio_Device";
const char kVideoInput[] = "ScreenCap://ScreenCapture1";
const char kScreenProperty[] = "Screen";
const char kProfileName[] = "Custom Screen Capture Profile";
const char kProfileDescription[] = "A Custom Video Profile For Screen Capture";
const LONG kContentType = 17;  // one audio and one video stream
const LONG kKeyFrameDistanceMs = 50000;
const LONG kStream = 0;

// A length-prefixed string is preceded by its byte count.
struct EmptyBstr {
    uint32_t cb;
    OLECHAR sz[1];
};
EmptyBstr g_emptyBstr = {0, {0}};

// Removes every source of one type, from the last index down to 0. A count
// that could not be read removes nothing; removal results are not examined.
void RemoveAllSources(IWMEncSourceGroup* pGroup, WMENC_SOURCE_TYPE enumType, SHORT nCount) {
    for (int i = nCount - 1; i >= 0; --i) {
        VARIANT varIndex;
        VariantInit(&varIndex);
        V_VT(&varIndex) = VT_I2;
        V_I2(&varIndex) = static_cast<SHORT>(i);
        pGroup->RemoveSource(enumType, varIndex);
        VariantClear(&varIndex);
    }
}

SHORT CountSources(IWMEncSourceGroup* pGroup, WMENC_SOURCE_TYPE enumType) {
    SHORT nCount = 0;
    if (FAILED(pGroup->get_SourceCount(enumType, &nCount))) {
        return 0;
    }
    return nCount;
}

HRESULT SetInput(IWMEncSource* pSource, const char* pszInput) {
    CWideString wsInput(pszInput);
    return pSource->SetInput(wsInput.Get(), EmptyWideString(), EmptyWideString());
}

// Bit rates and frame rates reach the engine multiplied by 1000 in 32 bits;
// values too large wrap around rather than fail.
LONG Times1000(int32_t nValue) {
    return static_cast<LONG>(static_cast<uint32_t>(nValue) * 1000u);
}

// Builds a new custom profile from the settings and makes it the group's
// profile. Returns the first failure, or the result of attaching it.
HRESULT BuildAndAttachProfile(IWMEncSourceGroup* pGroup, const CAPTURE_PARAMS& params) {
    TComPtr<IWMEncProfile2> pProfile;
    HRESULT hr = Obtained(RtCreateInstance(CLSID_WMEncProfile2, CLSCTX_INPROC_SERVER,
                                           IID_IWMEncProfile2, pProfile.OutVoid()),
                          pProfile);
    if (FAILED(hr)) {
        return hr;
    }
    hr = pProfile->put_ValidateMode(VARIANT_TRUE);
    if (FAILED(hr)) {
        return hr;
    }
    {
        CWideString wsName(kProfileName);
        hr = pProfile->put_ProfileName(wsName.Get());
    }
    if (FAILED(hr)) {
        return hr;
    }
    {
        CWideString wsDescription(kProfileDescription);
        hr = pProfile->put_ProfileDescription(wsDescription.Get());
    }
    if (FAILED(hr)) {
        return hr;
    }
    hr = pProfile->put_ContentType(kContentType);
    if (FAILED(hr)) {
        return hr;
    }
    hr = pProfile->put_VBRMode(WMENC_AUDIO, kStream, WMENC_PVM_NONE);
    if (FAILED(hr)) {
        return hr;
    }
    hr = pProfile->put_VBRMode(WMENC_VIDEO, kStream, WMENC_PVM_NONE);
    if (FAILED(hr)) {
        return hr;
    }
    const LONG lBitrate = Times1000(params.nBitrateKbps);
    TComPtr<IWMEncAudienceObj> pAudience;
    hr = Obtained(pProfile->AddAudience(lBitrate, pAudience.Out()), pAudience);
    if (FAILED(hr)) {
        return hr;
    }
    hr = pAudience->put_VideoBitrate(kStream, lBitrate);
    if (FAILED(hr)) {
        return hr;
    }
    hr = pAudience->put_VideoHeight(kStream, params.nHeight);
    if (FAILED(hr)) {
        return hr;
    }
    hr = pAudience->put_VideoWidth(kStream, params.nWidth);
    if (FAILED(hr)) {
        return hr;
    }
    hr = pAudience->put_VideoKeyFrameDistance(kStream, kKeyFrameDistanceMs);
    if (FAILED(hr)) {
        return hr;
    }
    hr = pAudience->put_VideoFPS(kStream, Times1000(params.nFps));
    if (FAILED(hr)) {
        return hr;
    }
    // Sharpness is a byte: 200 stays 200, never a negative number.
    hr = pAudience->put_VideoImageSharpness(kStream, static_cast<LONG>(params.bySharpness));
    if (FAILED(hr)) {
        return hr;
    }
    hr = pProfile->Validate();
    if (FAILED(hr)) {
        return hr;
    }
    TComPtr<IWMEncProfile> pPlain;
    hr = Obtained(pProfile->QueryInterface(IID_IWMEncProfile, pPlain.OutVoid()), pPlain);
    if (FAILED(hr)) {
        return hr;
    }
    // The variant holds a reference of its own for the call.
    VARIANT varProfile;
    VariantInit(&varProfile);
    V_VT(&varProfile) = VT_DISPATCH;
    V_DISPATCH(&varProfile) = pPlain.Get();
    pPlain->AddRef();
    hr = pGroup->put_Profile(varProfile);
    VariantClear(&varProfile);
    return hr;
}

}  // namespace

BSTR EmptyWideString() {
    return g_emptyBstr.sz;
}

HRESULT ConfigureSources(IWMEncSourceGroup* pGroup, const CAPTURE_PARAMS& params) {
    // Both counts are read before anything is removed.
    SHORT nAudio = CountSources(pGroup, WMENC_AUDIO);
    SHORT nVideo = CountSources(pGroup, WMENC_VIDEO);
    RemoveAllSources(pGroup, WMENC_VIDEO, nVideo);
    RemoveAllSources(pGroup, WMENC_AUDIO, nAudio);

    TComPtr<IWMEncSource> pVideo;
    HRESULT hr = Obtained(pGroup->AddSource(WMENC_VIDEO, pVideo.Out()), pVideo);
    if (FAILED(hr)) {
        return hr;
    }
    TComPtr<IWMEncSource> pAudio;
    hr = Obtained(pGroup->AddSource(WMENC_AUDIO, pAudio.Out()), pAudio);
    if (FAILED(hr)) {
        return hr;
    }
    hr = SetInput(pAudio.Get(), kAudioInput);
    if (FAILED(hr)) {
        return hr;
    }
    TComPtr<IWMEncVideoSource2> pVideo2;
    hr = Obtained(pVideo->QueryInterface(IID_IWMEncVideoSource2, pVideo2.OutVoid()), pVideo2);
    if (FAILED(hr)) {
        return hr;
    }
    hr = SetInput(pVideo2.Get(), kVideoInput);
    if (FAILED(hr)) {
        return hr;
    }
    TComPtr<IPropertyBag> pBag;
    hr = Obtained(pVideo2->QueryInterface(IID_IPropertyBag, pBag.OutVoid()), pBag);
    if (FAILED(hr)) {
        return hr;
    }
    {
        CWideString wsName(kScreenProperty);
        VARIANT varScreen;
        VariantInit(&varScreen);
        V_VT(&varScreen) = VT_BOOL;
        V_BOOL(&varScreen) = VARIANT_TRUE;
        hr = pBag->Write(wsName.Get(), &varScreen);
        VariantClear(&varScreen);
    }
    if (FAILED(hr)) {
        return hr;
    }
    return BuildAndAttachProfile(pGroup, params);
}
