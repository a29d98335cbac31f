// The video path of a session: the capture thread that puts a picture in
// each slot of the frame rate, the pacer's decisions handed to the encoder,
// and the encoder thread. Kept apart from Session.cc, which opens, starts,
// pauses and finishes the session and owns its threads' lifecycle; this is
// the body of one stream, the part that changes as the pacing does.
#include <algorithm>
#include <chrono>
#include <utility>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/frame.h>
}

#include "engine/core/Session.h"
#include "engine/core/SkipMap.h"

namespace dvengine {
namespace {

// The slot of the frame rate in which a time of the file falls, and when a
// slot begins. A picture goes into the slot in which it was taken (never a
// later one), so neither stream of a file runs past the other by more than a
// frame.
int64_t SlotOf(const CVideoParams& v, int64_t nFileUs) {
    return nFileUs * v.nFpsNum / (int64_t{1000000} * v.nFpsDen);
}
int64_t SlotStartUs(const CVideoParams& v, int64_t nSlot) {
    return (nSlot * v.nFpsDen * 1000000 + v.nFpsNum - 1) / v.nFpsNum;
}

}  // namespace

// What changed in the picture, added to what changed since the last picture
// encoded; its area in picture pixels.
int64_t CSession::AddChanged(const std::vector<CRect>& vNew) {
    constexpr size_t kMaxRects = 64;
    const CRect whole{0, 0, m_video.nWidth, m_video.nHeight};
    int64_t nArea = 0;
    for (const CRect& r : vNew) {
        nArea += int64_t{std::max(r.w, 0)} * std::max(r.h, 0);
    }
    m_vUnencoded.insert(m_vUnencoded.end(), vNew.begin(), vNew.end());
    if (m_vUnencoded.size() > kMaxRects) {
        // Too many to list: their bounding box.
        int nLeft = whole.w, nTop = whole.h, nRight = 0, nBottom = 0;
        for (const CRect& r : m_vUnencoded) {
            nLeft = std::min(nLeft, r.x);
            nTop = std::min(nTop, r.y);
            nRight = std::max(nRight, r.x + r.w);
            nBottom = std::max(nBottom, r.y + r.h);
        }
        m_vUnencoded.assign(1, CRect{nLeft, nTop, nRight - nLeft, nBottom - nTop});
    }
    return std::min(nArea, int64_t{whole.w} * whole.h);
}

// One picture for a slot: what the pacer says, unless the slot is taken.
// Whatever the grab changed goes out with the next picture encoded if not
// with this one. Counted as dropped: a changed picture whose slot is taken,
// and the slots that passed with no picture (a stall), but neither where a
// pause's frame took the slot or its time passed in the pause.
void CSession::TakeSlot(int64_t nSlot, const std::vector<CRect>& vChanged) {
    const int64_t nChanged = vChanged.empty() ? 0 : AddChanged(vChanged);
    if (nSlot <= m_nLastSlot) {
        if (nChanged > 0) {
            m_nDropped += nSlot >= 0 && !m_bResumed ? 1 : 0;
            std::lock_guard<std::mutex> lock(m_mutexPacer);
            m_pPacer->Carry(nChanged);
        }
        return;
    }
    m_nDropped += m_bResumed ? 0 : nSlot - m_nLastSlot - 1;
    m_bResumed = false;
    m_nLastSlot = nSlot;
    CPace pace;
    {
        std::lock_guard<std::mutex> lock(m_mutexPacer);
        pace = m_pPacer->Slot(nSlot, nChanged);
    }
    Submit(pace, false);
    if (pace.eAction != CPace::kEncode && m_bConstantRate) {
        SubmitFiller(nSlot);
    }
}

void CSession::SubmitFiller(int64_t nSlot) {
    CVideoJob job;
    job.pace.nSlot = nSlot;  // not the pacer's: it neither decided nor hears of it
    job.pFrame = m_converter.Picture(nSlot);
    if (job.pFrame == nullptr) {
        return;
    }
    job.pFrame->pict_type = AV_PICTURE_TYPE_NONE;
    // Skipped all over, whatever changed since the last picture encoded
    // (that still goes out with the next one).
    if (!m_allSkipped.Attach(job.pFrame)) {
        av_frame_free(&job.pFrame);
        return;
    }
    // An idle encoder: encoded here, for less than waking its thread costs.
    std::unique_lock<std::mutex> lock(m_mutexEncode, std::try_to_lock);
    if (lock.owns_lock() && m_qFrames.Size() == 0 && nSlot >= m_nNextSlot) {
        const HRESULT hr = FillSlots(job.pFrame);
        job.pFrame->pts = nSlot;
        if (SUCCEEDED(hr) && SUCCEEDED(m_pOutput->EncodeVideo(job.pFrame))) {
            m_nNextSlot = nSlot + 1;
        }
        av_frame_free(&job.pFrame);
        return;
    }
    lock = {};
    if (!m_qFrames.TryPush(job)) {
        av_frame_free(&job.pFrame);
    }
}

// With a constant rate, the slots from m_nNextSlot up to pNext's that got no
// picture (the encoder was busy) get one in which every macroblock is
// skipped.
HRESULT CSession::FillSlots(const AVFrame* pNext) {
    for (int64_t nSlot = m_nNextSlot; nSlot < pNext->pts; ++nSlot) {
        AVFrame* pFiller = av_frame_clone(pNext);
        if (pFiller == nullptr || !m_allSkipped.Attach(pFiller)) {
            av_frame_free(&pFiller);
            return E_OUTOFMEMORY;
        }
        pFiller->pts = nSlot;
        pFiller->pict_type = AV_PICTURE_TYPE_NONE;
        const HRESULT hr = m_pOutput->EncodeVideo(pFiller);
        av_frame_free(&pFiller);
        if (FAILED(hr)) {
            return hr;
        }
        m_nNextSlot = nSlot + 1;
    }
    return S_OK;
}

void CSession::CloseTrack(int64_t nFileUs) {
    const int64_t nSlot = SlotOf(m_video, std::max<int64_t>(nFileUs - 1, 0));
    // The slots a stalled screen left empty before the close, counted as a
    // grab after them would have.
    if (!m_bResumed && nSlot > m_nLastSlot + 1) {
        m_nDropped += nSlot - m_nLastSlot - 1;
    }
    CPace pace;
    {
        std::lock_guard<std::mutex> lock(m_mutexPacer);
        pace = m_pPacer->Close(nSlot);
        if (pace.eAction != CPace::kEncode && !m_vUnencoded.empty()) {
            // The slot holds a frame already, but something changed after
            // it (a grab past the pause or stop point): one slot on, so that
            // the last picture has it.
            pace = m_pPacer->Close(m_pPacer->LastEncodedSlot() + 1);
        }
    }
    if (pace.eAction == CPace::kEncode) {
        m_nLastSlot = std::max(m_nLastSlot, pace.nSlot);
    }
    // The last picture waits its turn rather than being dropped (with no
    // encoder running, the queue is drained at the stop).
    Submit(pace, m_thEncode.joinable());
}

void CSession::Submit(const CPace& pace, bool bWait) {
    if (pace.eAction == CPace::kDrop) {
        ++m_nDropped;
    }
    if (pace.eAction != CPace::kEncode) {
        return;
    }
    CVideoJob job;
    job.pace = pace;
    job.pFrame = m_converter.Picture(pace.nSlot);
    if (job.pFrame != nullptr) {
        job.pFrame->pict_type = pace.bKey ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        job.pFrame->quality = pace.nQuantiser * FF_QP2LAMBDA;
        job.vChanged.swap(m_vUnencoded);
        // The encoder may skip what did not change since the picture encoded
        // before, but for a refinement, which recodes the whole picture (key
        // frames code every macroblock anyway). Without a map (out of
        // memory) every macroblock is coded.
        if (pace.eKind == CPace::kChange || pace.eKind == CPace::kRepeat) {
            AttachSkipMap(job.pFrame, job.vChanged);
        }
        // The encoder needs one picture at a time: one behind is dropped.
        if (bWait ? m_qFrames.Push(job) : m_qFrames.TryPush(job)) {
            return;
        }
        m_vUnencoded.swap(job.vChanged);
        av_frame_free(&job.pFrame);
    }
    ++m_nDropped;
    std::lock_guard<std::mutex> lock(m_mutexPacer);
    m_pPacer->Cancel(pace);
}

// Capture and conversion: a picture per slot of the frame rate.
void CSession::VideoThread() {
    const int64_t nIntervalUs =
        std::max<int64_t>(int64_t{1000000} * m_video.nFpsDen / m_video.nFpsNum, 1000);
    int64_t nNextUs = MonotonicUs() + nIntervalUs;
    CScreenFrame frame;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            const auto tNext = std::chrono::steady_clock::now() +
                               std::chrono::microseconds(nNextUs - MonotonicUs());
            m_cvStop.wait_until(lock, tNext, [this] { return m_bStopping; });
            if (m_bStopping) {
                break;
            }
            if (m_timeline.Paused()) {
                nNextUs = MonotonicUs() + nIntervalUs;
                if (!m_bPauseFrame) {
                    continue;
                }
            }
        }
        bool bPauseFrame = false;
        int64_t nPauseFileUs = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            std::swap(bPauseFrame, m_bPauseFrame);
            nPauseFileUs = m_nPauseFileUs;
        }
        if (bPauseFrame) {
            CloseTrack(nPauseFileUs);
            m_bResumed = true;
            continue;
        }
        // Until the picture says where the slots lie (after a stall, the
        // slots missed stay empty).
        const int64_t nNow = MonotonicUs();
        nNextUs = nNow + nIntervalUs;
        const HRESULT hr = m_pScreen->Grab(nNow + kGrabUs, &frame);
        if (FAILED(hr)) {
            m_hrScreen = hr;
            break;
        }
        if (hr == S_FALSE) {
            // No picture this time (a server late or stalled, a desktop we
            // may not read): the picture held stands for the slot as for a
            // still screen, which the pacer repeats at least once a second,
            // and once the screen has shown anything the slot counts as
            // dropped.
            int64_t nFileUs = 0;
            if (Map(MonotonicUs(), &nFileUs) && SlotOf(m_video, nFileUs) > m_nLastSlot) {
                m_nDropped += m_bPictured ? 1 : 0;
                TakeSlot(SlotOf(m_video, nFileUs), {});
            }
            continue;
        }
        m_bPictured = true;
        std::vector<CRect> vChanged;
        if (FAILED(m_converter.Update(frame, &vChanged))) {
            m_hrOutput = E_OUTOFMEMORY;
            break;
        }
        // A grab past the pause or stop point is in the picture now: its
        // change goes out with the pause's or stop's frame, or the next.
        int64_t nFileUs = 0;
        const bool bMapped = Map(frame.nTimeUs, &nFileUs);
        const int64_t nSlot = bMapped ? SlotOf(m_video, nFileUs) : -1;
        TakeSlot(nSlot, vChanged);
        if (bMapped) {
            // The next picture a quarter into the next slot, clear of its edges.
            nNextUs = frame.nTimeUs + SlotStartUs(m_video, nSlot + 1) - nFileUs + nIntervalUs / 4;
        }
    }
}

void CSession::EncodeThread() {
    CVideoJob job;
    while (m_qFrames.Pop(&job)) {
        int64_t nBytes = 0;
        HRESULT hr = S_OK;
        {
            std::lock_guard<std::mutex> lock(m_mutexEncode);
            if (m_bConstantRate) {
                // A pause or stop frame may come for a slot a filler took:
                // it goes in the next one.
                job.pFrame->pts = std::max(job.pFrame->pts, m_nNextSlot);
                hr = FillSlots(job.pFrame);
            }
            if (SUCCEEDED(hr)) {
                hr = m_pOutput->EncodeVideo(job.pFrame, &nBytes);
            }
            m_nNextSlot = std::max(m_nNextSlot, job.pFrame->pts + 1);
        }
        av_frame_free(&job.pFrame);
        std::lock_guard<std::mutex> lock(m_mutexPacer);
        if (FAILED(hr)) {
            m_hrOutput = hr;
            m_pPacer->Cancel(job.pace);
        } else {
            m_pPacer->Encoded(job.pace, nBytes);
        }
    }
    std::lock_guard<std::mutex> lock(m_mutexEncode);
    const HRESULT hr = m_pOutput->EncodeVideo(nullptr);
    if (FAILED(hr)) {
        m_hrOutput = hr;
    }
}

}  // namespace dvengine
