#include "engine/core/Settings.h"

#include <algorithm>
#include <climits>
#include <numeric>

#include "deskvid/deskvid_status.h"

namespace dvengine {

const char16_t kVideoInput[] = u"ScreenCap://ScreenCapture1";
const char16_t kAudioInput[] = u"Device://Default_Audio_Device";

bool CProfileSettings::operator==(const CProfileSettings& o) const {
    return lContentType == o.lContentType && bAudioConstant == o.bAudioConstant &&
           bVideoConstant == o.bVideoConstant && bHasAudience == o.bHasAudience &&
           lAudienceBitrate == o.lAudienceBitrate && lVideoBitrate == o.lVideoBitrate &&
           lWidth == o.lWidth && lHeight == o.lHeight && lKeyFrameMs == o.lKeyFrameMs &&
           lFpsTimes1000 == o.lFpsTimes1000 && lSharpness == o.lSharpness;
}

HRESULT ValidateProfile(const CProfileSettings& p) {
    if (p.lContentType != kContentAudio && p.lContentType != kContentVideo &&
        p.lContentType != (kContentAudio | kContentVideo)) {
        return DV_E_CONTENT_TYPE;
    }
    // Only constant bit rate is offered.
    if (!p.bAudioConstant || !p.bVideoConstant) {
        return E_INVALIDARG;
    }
    // The audience carries the bit rate even for a file without video.
    if (!p.bHasAudience || p.lAudienceBitrate <= 0) {
        return DV_E_BITRATE;
    }
    if ((p.lContentType & kContentVideo) == 0) {
        return S_OK;
    }
    if (p.lVideoBitrate <= 0) {
        return DV_E_BITRATE;
    }
    if (p.lFpsTimes1000 <= 0 || p.lFpsTimes1000 > kMaxFpsTimes1000) {
        return DV_E_FPS;
    }
    if (p.lWidth < 0 || p.lHeight < 0 || p.lWidth > kMaxDimension || p.lHeight > kMaxDimension) {
        return DV_E_SIZE;
    }
    // FFmpeg takes no picture whose padded area reaches INT_MAX / 8 bytes.
    if ((static_cast<int64_t>(p.lWidth) + 128) * (static_cast<int64_t>(p.lHeight) + 128) >=
        INT_MAX / 8) {
        return DV_E_SIZE;
    }
    if (p.lKeyFrameMs <= 0) {
        return DV_E_KEYFRAME;
    }
    if (p.lSharpness < 0 || p.lSharpness > 100) {
        return DV_E_SHARPNESS;
    }
    return S_OK;
}

bool CSnapshot::SameSettings(const CSnapshot& o) const {
    return bHasProfile == o.bHasProfile && profile == o.profile &&
           strVideoInput == o.strVideoInput && bScreen == o.bScreen &&
           strAudioInput == o.strAudioInput && strAuthor == o.strAuthor &&
           strCopyright == o.strCopyright && strDescription == o.strDescription &&
           strRating == o.strRating && strTitle == o.strTitle;
}

HRESULT CheckSnapshot(const CSnapshot& snap) {
    if (!snap.bHasProfile) {
        return DV_E_NO_PROFILE;
    }
    HRESULT hr = ValidateProfile(snap.profile);
    if (FAILED(hr)) {
        return hr;
    }
    if ((snap.profile.lContentType & kContentVideo) != 0) {
        if (snap.strVideoInput != kVideoInput) {
            return DV_E_CONTENT_TYPE;
        }
        // Only the whole screen can be captured, not a window or a region.
        if (!snap.bScreen) {
            return DV_E_BAD_INPUT;
        }
    }
    if ((snap.profile.lContentType & kContentAudio) != 0 && snap.strAudioInput != kAudioInput) {
        return DV_E_CONTENT_TYPE;
    }
    if (snap.strFile.empty()) {
        return DV_E_NO_FILE_NAME;
    }
    return S_OK;
}

int GopFrames(LONG lKeyFrameMs, LONG lFpsTimes1000) {
    const int64_t nFrames = (static_cast<int64_t>(lKeyFrameMs) * lFpsTimes1000 + 500000) / 1000000;
    return static_cast<int>(std::clamp<int64_t>(nFrames, 1, kMaxGopFrames));
}

void SharpnessToQuantisers(LONG lSharpness, int* pnQMin, int* pnQMax) {
    const int nSharpness = static_cast<int>(std::clamp<LONG>(lSharpness, 0, 100));
    *pnQMin = 2 + ((100 - nSharpness) * 29 + 50) / 100;
    *pnQMax = 31;
}

CVideoParams MapVideo(const CProfileSettings& p, int nScreenWidth, int nScreenHeight) {
    CVideoParams v;
    // The encoder works on 4:2:0 pictures: even sizes only. An odd side is
    // padded by one, so that a screen of that size goes in unscaled.
    v.nWidth = ((p.lWidth > 0 ? static_cast<int>(p.lWidth) : nScreenWidth) + 1) & ~1;
    v.nHeight = ((p.lHeight > 0 ? static_cast<int>(p.lHeight) : nScreenHeight) + 1) & ~1;
    v.nWidth = std::max(v.nWidth, 2);
    v.nHeight = std::max(v.nHeight, 2);
    const int nGcd = std::gcd(static_cast<int>(p.lFpsTimes1000), 1000);
    v.nFpsNum = static_cast<int>(p.lFpsTimes1000) / (nGcd > 0 ? nGcd : 1);
    v.nFpsDen = 1000 / (nGcd > 0 ? nGcd : 1);
    v.nGopFrames = GopFrames(p.lKeyFrameMs, p.lFpsTimes1000);
    SharpnessToQuantisers(p.lSharpness, &v.nQMin, &v.nQMax);
    v.nBitrate = p.lVideoBitrate;
    return v;
}

}  // namespace dvengine
