// The recording engine's pure logic: what a profile holds and whether it can
// be encoded, the snapshot that a session is opened from and how two
// snapshots compare, how profile values map onto encoder settings, text
// conversion. Nothing here touches a device, a codec or a file.
#pragma once

#include <cstdint>
#include <string>

#include "port/port.h"

namespace dvengine {

// Content-type bits of a profile: which streams the file carries.
constexpr LONG kContentAudio = 0x1;
constexpr LONG kContentVideo = 0x10;

// The only inputs this engine can capture.
extern const char16_t kVideoInput[];  // the whole X screen of $DISPLAY
extern const char16_t kAudioInput[];  // the default PulseAudio source

// Fixed audio format: WMA2 at 64 kb/s, 48 kHz stereo. The audience's bit
// rate is the video's; the file's total is video plus audio.
constexpr int kAudioBitrate = 64000;
constexpr int kAudioSampleRate = 48000;
constexpr int kAudioChannels = 2;

// FFmpeg's WMV2 encoder refuses a key-frame interval above 600 frames.
constexpr int kMaxGopFrames = 600;
// Upper bounds beyond which a value cannot be a real screen recording.
constexpr LONG kMaxFpsTimes1000 = 1000 * 1000;
constexpr LONG kMaxDimension = 16384;

// What a profile says, as its setters left it.
struct CProfileSettings {
    LONG lContentType = 0;
    bool bAudioConstant = true;  // bit-rate mode 1 (constant) for audio stream 0
    bool bVideoConstant = true;  // and for video stream 0
    bool bHasAudience = false;
    LONG lAudienceBitrate = 0;
    LONG lVideoBitrate = 0;
    LONG lWidth = 0;   // 0: the screen's own width
    LONG lHeight = 0;  // 0: the screen's own height
    LONG lKeyFrameMs = 8000;
    LONG lFpsTimes1000 = 30000;
    LONG lSharpness = 50;

    bool operator==(const CProfileSettings& o) const;
    bool operator!=(const CProfileSettings& o) const { return !(*this == o); }
};

// Whether the profile can be encoded at all: S_OK, or the status naming the
// first value that cannot (content type, bit rate, frame rate, size,
// key-frame distance, sharpness, in that order).
HRESULT ValidateProfile(const CProfileSettings& profile);

// Everything a session is opened from, taken at PrepareToEncode(true).
struct CSnapshot {
    bool bHasProfile = false;
    CProfileSettings profile;
    // Inputs of the group's first source of each type (empty: none or unset).
    std::u16string strVideoInput;
    bool bScreen = false;  // the video source's "Screen" property
    std::u16string strAudioInput;
    std::string strFile;  // UTF-8 path
    std::string strAuthor;
    std::string strCopyright;
    std::string strDescription;
    std::string strRating;
    std::string strTitle;

    // Everything but the file name is the same.
    bool SameSettings(const CSnapshot& o) const;
};

// Whether a session can be opened from the snapshot, before any device is
// touched: a profile that validates, sources that provide its content type,
// a file name. S_OK or the failing status.
HRESULT CheckSnapshot(const CSnapshot& snap);

// Encoder settings derived from a profile and the captured screen's size.
struct CVideoParams {
    int nWidth = 0;
    int nHeight = 0;
    int nFpsNum = 0;  // frame rate as a reduced fraction
    int nFpsDen = 1;
    int nGopFrames = 1;
    int nQMin = 2;
    int nQMax = 31;
    int64_t nBitrate = 0;
};

CVideoParams MapVideo(const CProfileSettings& profile, int nScreenWidth, int nScreenHeight);

// Key-frame distance in frames: distance x fps / 1000, at least 1, at most
// kMaxGopFrames.
int GopFrames(LONG lKeyFrameMs, LONG lFpsTimes1000);

// Sharpness 0-100 onto WMV2's quantiser range 2-31: the sharper, the lower
// the smallest quantiser the rate control may choose. 100 allows the whole
// range; 0 pins every frame to the coarsest quantiser.
void SharpnessToQuantisers(LONG lSharpness, int* pnQMin, int* pnQMax);

}  // namespace dvengine
