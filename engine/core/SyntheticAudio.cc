#include "engine/core/SyntheticAudio.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <thread>

#include "deskvid/deskvid_status.h"
#include "engine/core/Settings.h"
#include "engine/core/ScreenSource.h"

namespace dvengine {
namespace {

constexpr double kPi = 3.14159265358979323846;

constexpr int64_t kBlockUs = 20000;
// As a server's buffer: what was not read within this long is lost, as
// after a stall of the reading process.
constexpr int64_t kBufferUs = 1000000;

class CSyntheticAudio final : public IAudioSource {
public:
    explicit CSyntheticAudio(const CSyntheticAudioOptions& options) : m_options(options) {}

    HRESULT Start(int64_t) override {
        if (m_options.bFailStart) {
            return DV_E_NO_AUDIO;
        }
        m_nStartUs = MonotonicUs();
        m_nNextUs = m_nStartUs;
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
        SleepUntil(std::min(nDeadlineUs, m_nNextUs + kBlockUs));
        const int64_t nNow = MonotonicUs();
        if (nNow < m_nNextUs + kBlockUs) {
            return S_FALSE;
        }
        m_nNextUs = std::max(m_nNextUs, nNow - kBufferUs);
        const int64_t nFrames = (nNow - m_nNextUs) * kAudioSampleRate / 1000000;
        pBlock->nTimeUs = m_nNextUs;
        pBlock->vSamples.resize(static_cast<size_t>(nFrames) * kAudioChannels);
        for (int64_t i = 0; i < nFrames; ++i, ++m_nPhase) {
            const auto n = static_cast<int16_t>(
                8000 * std::sin(2 * kPi * 440.0 * static_cast<double>(m_nPhase % 48000) /
                                kAudioSampleRate));
            pBlock->vSamples[i * 2] = n;
            pBlock->vSamples[i * 2 + 1] = n;
        }
        m_nNextUs += nFrames * 1000000 / kAudioSampleRate;
        return S_OK;
    }

    void Stop() override {}

private:
    CSyntheticAudioOptions m_options;
    int64_t m_nStartUs = 0;
    int64_t m_nNextUs = 0;
    int64_t m_nPhase = 0;
    bool m_bLost = false;
};

}  // namespace

bool ParseSyntheticAudioOptions(const std::string& strOptions, CSyntheticAudioOptions* pOptions) {
    std::istringstream in(strOptions);
    std::string strItem;
    while (std::getline(in, strItem, ',')) {
        int n = 0;
        if (strItem.empty()) {
            continue;
        } else if (strItem == "fail-start") {
            pOptions->bFailStart = true;
        } else if (std::sscanf(strItem.c_str(), "freeze-after=%d", &n) == 1 && n >= 0) {
            pOptions->nFreezeAfterMs = n;
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
