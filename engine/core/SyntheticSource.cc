#include "engine/core/SyntheticSource.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

#include "deskvid/deskvid_status.h"

namespace dvengine {
namespace {

constexpr int kBoxSize = 64;
constexpr int kBoxStep = 8;

bool ParseSize(const std::string& str, int* pnWidth, int* pnHeight) {
    return std::sscanf(str.c_str(), "%dx%d", pnWidth, pnHeight) == 2 && *pnWidth > 0 &&
           *pnHeight > 0 && *pnWidth <= 16384 && *pnHeight <= 16384;
}

CRect Clip(CRect r, int nWidth, int nHeight) {
    const int nRight = std::min(r.x + r.w, nWidth);
    const int nBottom = std::min(r.y + r.h, nHeight);
    r.x = std::max(r.x, 0);
    r.y = std::max(r.y, 0);
    r.w = std::max(nRight - r.x, 0);
    r.h = std::max(nBottom - r.y, 0);
    return r;
}

class CSyntheticSource final : public IScreenSource {
public:
    explicit CSyntheticSource(const CSyntheticScreenOptions& options) : m_options(options) {}

    HRESULT Start(int64_t nDeadlineUs) override {
        if (m_options.bSilentStart) {
            SleepUntil(nDeadlineUs);
        }
        if (m_options.bFailStart || m_options.bSilentStart) {
            return DV_E_NO_DISPLAY;
        }
        Resize(m_options.nWidth, m_options.nHeight);
        return S_OK;
    }

    HRESULT Grab(int64_t nDeadlineUs, CScreenFrame* pFrame) override {
        const int nFrame = m_nGrabs++;
        if (m_options.nFreezeAtFrame >= 0 && nFrame >= m_options.nFreezeAtFrame) {
            // A server that stopped answering: stalled after a second.
            m_nFrozenUs = m_nFrozenUs != 0 ? m_nFrozenUs : MonotonicUs();
            SleepUntil(nDeadlineUs);
            return S_FALSE;
        }
        if (nFrame == m_options.nStallAtFrame) {
            std::this_thread::sleep_for(std::chrono::milliseconds(m_options.nStallMs));
        }
        if (nFrame < m_options.nNoPictureFrames) {
            return S_FALSE;
        }
        pFrame->vChanged.clear();
        for (const auto& resize : m_options.vResizes) {
            if (resize.nAtFrame == nFrame) {
                Resize(resize.nWidth, resize.nHeight);
            }
        }
        if (m_bWhole) {
            Paint();
            pFrame->vChanged.push_back(CRect{0, 0, m_nWidth, m_nHeight});
            m_bWhole = false;
        } else if (m_options.mode == CSyntheticScreenOptions::EMode::kFull) {
            ++m_nPhase;
            Paint();
            pFrame->vChanged.push_back(CRect{0, 0, m_nWidth, m_nHeight});
        } else if (m_options.mode == CSyntheticScreenOptions::EMode::kBox &&
                   (m_options.nMoves < 0 || m_nPhase < m_options.nMoves)) {
            const CRect old = Box();
            DrawBox(old, false);
            ++m_nPhase;
            const CRect now = Box();
            DrawBox(now, true);
            pFrame->vChanged.push_back(old);
            pFrame->vChanged.push_back(now);
        }
        pFrame->pPixels = m_vPixels.data();
        pFrame->nStride = m_nWidth * 4;
        pFrame->nWidth = m_nWidth;
        pFrame->nHeight = m_nHeight;
        pFrame->nTimeUs = MonotonicUs();
        return S_OK;
    }

    bool WaitForChange(int64_t nDeadlineUs) override {
        SleepUntil(nDeadlineUs);
        return false;
    }

    bool Stalled() override { return m_nFrozenUs != 0 && MonotonicUs() - m_nFrozenUs >= 1000000; }

    void Stop() override {}

private:
    void Resize(int nWidth, int nHeight) {
        m_nWidth = nWidth;
        m_nHeight = nHeight;
        m_vPixels.assign(static_cast<size_t>(nWidth) * nHeight * 4, 0);
        m_bWhole = true;
    }

    // A still gradient (or, in full mode, one that shifts every frame).
    void Paint() {
        for (int y = 0; y < m_nHeight; ++y) {
            uint8_t* p = &m_vPixels[static_cast<size_t>(y) * m_nWidth * 4];
            for (int x = 0; x < m_nWidth; ++x, p += 4) {
                p[0] = static_cast<uint8_t>(x + m_nPhase * 3);
                p[1] = static_cast<uint8_t>(y + m_nPhase);
                p[2] = static_cast<uint8_t>((x ^ y) >> 2);
                p[3] = 0;
            }
        }
        if (m_options.mode == CSyntheticScreenOptions::EMode::kBox) {
            DrawBox(Box(), true);
        }
    }

    CRect Box() const {
        const int nRangeX = std::max(m_nWidth - kBoxSize, 1);
        const int nRangeY = std::max(m_nHeight - kBoxSize, 1);
        return Clip(CRect{(m_nPhase * kBoxStep) % nRangeX, (m_nPhase * kBoxStep / 3) % nRangeY,
                          kBoxSize, kBoxSize},
                    m_nWidth, m_nHeight);
    }

    // The box in white, or the background back where it was.
    void DrawBox(const CRect& r, bool bBox) {
        for (int y = r.y; y < r.y + r.h; ++y) {
            uint8_t* p = &m_vPixels[(static_cast<size_t>(y) * m_nWidth + r.x) * 4];
            for (int x = r.x; x < r.x + r.w; ++x, p += 4) {
                p[0] = bBox ? 255 : static_cast<uint8_t>(x + m_nPhase * 3);
                p[1] = bBox ? 255 : static_cast<uint8_t>(y + m_nPhase);
                p[2] = bBox ? 255 : static_cast<uint8_t>((x ^ y) >> 2);
                p[3] = 0;
            }
        }
    }

    CSyntheticScreenOptions m_options;
    std::vector<uint8_t> m_vPixels;
    int m_nWidth = 0;
    int m_nHeight = 0;
    int m_nGrabs = 0;
    int m_nPhase = 0;
    bool m_bWhole = true;
    int64_t m_nFrozenUs = 0;  // when the first frozen grab came
};

}  // namespace

bool ParseSyntheticScreenOptions(const std::string& strOptions, CSyntheticScreenOptions* pOptions) {
    std::istringstream in(strOptions);
    std::string strItem;
    while (std::getline(in, strItem, ',')) {
        const size_t nEq = strItem.find('=');
        const std::string strKey = strItem.substr(0, nEq);
        const std::string strValue = nEq == std::string::npos ? "" : strItem.substr(nEq + 1);
        int a = 0;
        int b = 0;
        int c = 0;
        if (strKey.empty()) {
            continue;
        } else if (strKey == "size") {
            if (!ParseSize(strValue, &pOptions->nWidth, &pOptions->nHeight)) {
                return false;
            }
        } else if (strKey == "mode") {
            using EMode = CSyntheticScreenOptions::EMode;
            if (strValue != "box" && strValue != "full" && strValue != "idle") {
                return false;
            }
            pOptions->mode = strValue == "box"    ? EMode::kBox
                             : strValue == "full" ? EMode::kFull
                                                  : EMode::kIdle;
        } else if (strKey == "moves" && std::sscanf(strValue.c_str(), "%d", &a) == 1) {
            pOptions->nMoves = a;
        } else if (strKey == "fail-start") {
            pOptions->bFailStart = true;
        } else if (strKey == "silent") {
            pOptions->bSilentStart = true;
        } else if (strKey == "no-picture" && std::sscanf(strValue.c_str(), "%d", &a) == 1) {
            pOptions->nNoPictureFrames = a;
        } else if (strKey == "stall-at" && std::sscanf(strValue.c_str(), "%d:%d", &a, &b) == 2) {
            pOptions->nStallAtFrame = a;
            pOptions->nStallMs = b;
        } else if (strKey == "freeze-at" && std::sscanf(strValue.c_str(), "%d", &a) == 1) {
            pOptions->nFreezeAtFrame = a;
        } else if (strKey == "resize-at" &&
                   std::sscanf(strValue.c_str(), "%d:%dx%d", &a, &b, &c) == 3 && b > 0 && c > 0 &&
                   b <= 16384 && c <= 16384) {
            pOptions->vResizes.push_back({a, b, c});
        } else {
            return false;
        }
    }
    return true;
}

std::unique_ptr<IScreenSource> CreateSyntheticSource(const CSyntheticScreenOptions& options) {
    return std::make_unique<CSyntheticSource>(options);
}

}  // namespace dvengine
