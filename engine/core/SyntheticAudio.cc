#include "engine/core/SyntheticAudio.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "deskvid/deskvid_status.h"
#include "engine/core/Settings.h"
#include "engine/core/ScreenSource.h"

namespace dvengine {
namespace {

constexpr double kPi = 3.14159265358979323846;

// As a server's buffer: what was not read within this long is lost, as
// after a stall of the reading process.
constexpr int64_t kBufferUs = 1000000;
constexpr int64_t kBeepUs = 50000;

int16_t Tone(int nHz, int64_t nSample) {
    const double dPhase = static_cast<double>(nSample % kAudioSampleRate) * nHz / kAudioSampleRate;
    return static_cast<int16_t>(8000 * std::sin(2 * kPi * dPhase));
}

// The device counts frames on its own clock: frame n is captured at
// m_nStartUs + n / (rate * dRate) on ours.
class CSyntheticAudio final : public IAudioSource {
public:
    explicit CSyntheticAudio(const CSyntheticAudioOptions& options) : m_options(options) {}

    HRESULT Start(int64_t) override {
        if (m_options.bFailStart) {
            return DV_E_NO_AUDIO;
        }
        m_nStartUs = MonotonicUs();
        m_nFrames = 0;
        return S_OK;
    }

    HRESULT Read(int64_t nDeadlineUs, CAudioBlock* pBlock) override {
        if (m_bLost) {
            return DV_E_NO_AUDIO;
        }
        if (m_options.nFreezeAfterMs >= 0 &&
            MonotonicUs() >= m_nStartUs + m_options.nFreezeAfterMs * int64_t{1000}) {
            SleepUntil(nDeadlineUs);
            m_bLost = true;
            return DV_E_NO_AUDIO;
        }
        const int64_t nBlockUs = m_options.nBlockMs * int64_t{1000};
        SleepUntil(std::min(nDeadlineUs, TimeOf(m_nFrames) + nBlockUs));
        const int64_t nNow = MonotonicUs();
        if (nNow < TimeOf(m_nFrames) + nBlockUs) {
            return S_FALSE;
        }
        int64_t nUntil = FramesBy(nNow);
        if (m_options.nGapAtMs >= 0) {
            const int64_t nGapUs = m_nStartUs + m_options.nGapAtMs * int64_t{1000};
            const int64_t nGapEndUs = nGapUs + m_options.nGapMs * int64_t{1000};
            if (nNow >= nGapEndUs) {
                m_nFrames = std::max(m_nFrames, FramesBy(nGapEndUs));
            } else if (nNow >= nGapUs) {
                nUntil = FramesBy(nGapUs);
            }
            if (m_nFrames >= nUntil) {
                SleepUntil(nDeadlineUs);
                return S_FALSE;
            }
        }
        m_nFrames = std::max(m_nFrames, FramesBy(nNow - kBufferUs));
        const int64_t nBacklog =
            m_bBacklogDone ? 0 : m_options.nBacklogMs * kAudioSampleRate / 1000;
        m_bBacklogDone = true;
        const int64_t nFrames = nBacklog + nUntil - m_nFrames;
        // A backlog is stamped as a naive source stamps what arrives: as
        // current, from the moment it arrived.
        pBlock->nTimeUs = nBacklog > 0 ? nNow : TimeOf(m_nFrames);
        pBlock->vSamples.resize(static_cast<size_t>(nFrames) * kAudioChannels);
        int16_t* p = pBlock->vSamples.data();
        for (int64_t i = 0; i < nBacklog; ++i, p += 2) {
            p[0] = p[1] = Tone(kSyntheticBacklogHz, i);
        }
        for (; m_nFrames < nUntil; ++m_nFrames, p += 2) {
            int16_t n = 0;
            if (m_options.nBeepHz == 0) {
                n = Tone(m_options.nToneHz, m_nFrames);
            } else if (TimeOf(m_nFrames) % 1000000 < kBeepUs) {
                n = Tone(m_options.nBeepHz, m_nFrames);
            }
            p[0] = p[1] = n;
        }
        return S_OK;
    }

    void Stop() override {}

private:
    double FramesPerUs() const { return kAudioSampleRate * m_options.dRate / 1e6; }
    int64_t TimeOf(int64_t nFrame) const {
        return m_nStartUs + static_cast<int64_t>(static_cast<double>(nFrame) / FramesPerUs());
    }
    int64_t FramesBy(int64_t nUs) const {
        return std::max<int64_t>(
            static_cast<int64_t>(static_cast<double>(nUs - m_nStartUs) * FramesPerUs()), 0);
    }

    CSyntheticAudioOptions m_options;
    int64_t m_nStartUs = 0;
    int64_t m_nFrames = 0;  // delivered, or gone
    bool m_bBacklogDone = false;
    bool m_bLost = false;
};

}  // namespace

bool ParseSyntheticAudioOptions(const std::string& strOptions, CSyntheticAudioOptions* pOptions) {
    std::istringstream in(strOptions);
    std::string strItem;
    while (std::getline(in, strItem, ',')) {
        int n = 0;
        int n2 = 0;
        double d = 0;
        if (strItem.empty()) {
            continue;
        } else if (strItem == "fail-start") {
            pOptions->bFailStart = true;
        } else if (std::sscanf(strItem.c_str(), "freeze-after=%d", &n) == 1 && n >= 0) {
            pOptions->nFreezeAfterMs = n;
        } else if (std::sscanf(strItem.c_str(), "tone=%d", &n) == 1 && n > 0 && n < 24000) {
            pOptions->nToneHz = n;
        } else if (std::sscanf(strItem.c_str(), "beep=%d", &n) == 1 && n > 0 && n < 24000) {
            pOptions->nBeepHz = n;
        } else if (std::sscanf(strItem.c_str(), "rate=%lf", &d) == 1 && d > 0.9 && d < 1.1) {
            pOptions->dRate = d;
        } else if (std::sscanf(strItem.c_str(), "backlog=%d", &n) == 1 && n >= 0 && n <= 10000) {
            pOptions->nBacklogMs = n;
        } else if (std::sscanf(strItem.c_str(), "block=%d", &n) == 1 && n > 0 && n <= 900) {
            pOptions->nBlockMs = n;
        } else if (std::sscanf(strItem.c_str(), "gap=%d:%d", &n, &n2) == 2 && n >= 0 && n2 >= 0) {
            pOptions->nGapAtMs = n;
            pOptions->nGapMs = n2;
        } else {
            return false;
        }
    }
    return true;
}

std::unique_ptr<IAudioSource> CreateSyntheticAudio(const CSyntheticAudioOptions& options) {
    return std::make_unique<CSyntheticAudio>(options);
}

}  // namespace dvengine
