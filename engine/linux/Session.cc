#include "engine/linux/Session.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <utility>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/frame.h>
}

#include "deskvid/deskvid_status.h"
#include "engine/linux/SkipMap.h"

namespace dvlinux {
namespace {

using libav::kAudioSampleRate;

constexpr int64_t kScreenStartUs = 1500000;  // connecting to the screen
constexpr int64_t kAudioStartUs = 1500000;   // connecting to the audio server
constexpr int64_t kGrabUs = 250000;          // one picture
constexpr int64_t kReadUs = 100000;          // one wait for audio
constexpr int64_t kAudioDrainUs = 250000;    // a stop's wait for audio captured before it
// How far the audio's sample count may stray from the capture clock before
// silence is put in or samples left out.
constexpr int64_t kAudioToleranceSamples = kAudioSampleRate * 60 / 1000;

int64_t ToSamples(int64_t nUs) {
    return nUs * kAudioSampleRate / 1000000;
}

// The slot of the frame rate in which a time of the file falls, and when a
// slot begins. A picture goes into the slot in which it was taken (never a
// later one), so neither stream of a file runs past the other by more than a
// frame.
int64_t SlotOf(const libav::CVideoParams& v, int64_t nFileUs) {
    return nFileUs * v.nFpsNum / (int64_t{1000000} * v.nFpsDen);
}
int64_t SlotStartUs(const libav::CVideoParams& v, int64_t nSlot) {
    return (nSlot * v.nFpsDen * 1000000 + v.nFpsNum - 1) / v.nFpsNum;
}

}  // namespace

CSession::CSession(const libav::CSnapshot& snap) : m_snap(snap) {
    m_bVideo = (snap.profile.lContentType & libav::kContentVideo) != 0;
    m_bAudio = (snap.profile.lContentType & libav::kContentAudio) != 0;
}

HRESULT CSession::Open(const libav::CSnapshot& snap, std::unique_ptr<CSession>* ppSession) {
    HRESULT hr = libav::CheckSnapshot(snap);
    if (FAILED(hr)) {
        return hr;
    }
    try {
        std::unique_ptr<CSession> pSession(new CSession(snap));
        hr = pSession->m_bVideo ? pSession->OpenScreen() : S_OK;
        if (SUCCEEDED(hr) && pSession->m_bAudio) {
            hr = pSession->OpenAudio();
        }
        if (SUCCEEDED(hr)) {
            hr = COutput::Open(snap, pSession->m_bVideo ? &pSession->m_video : nullptr,
                               pSession->m_bAudio, &pSession->m_pOutput);
        }
        if (SUCCEEDED(hr)) {
            *ppSession = std::move(pSession);
        }
    } catch (const std::exception&) {
        hr = E_OUTOFMEMORY;
    }
    return hr;
}

// Starts the screen and takes its first picture, which gives the recording
// its size when the profile leaves it to the screen.
HRESULT CSession::OpenScreen() {
    const int64_t nDeadline = MonotonicUs() + kScreenStartUs;
    m_pScreen = CreateScreenSource();
    HRESULT hr = m_pScreen->Start(nDeadline);
    if (FAILED(hr)) {
        return hr;
    }
    CScreenFrame frame;
    while ((hr = m_pScreen->Grab(nDeadline, &frame)) == S_FALSE && MonotonicUs() < nDeadline) {
        m_pScreen->WaitForChange(std::min(nDeadline, MonotonicUs() + 20000));
    }
    if (FAILED(hr)) {
        return hr;
    }
    const libav::CProfileSettings& p = m_snap.profile;
    if (hr == S_FALSE && (p.lWidth <= 0 || p.lHeight <= 0)) {
        return DV_E_NO_DISPLAY;
    }
    m_video = libav::MapVideo(p, frame.nWidth, frame.nHeight);
    CPacerSettings pacing;
    pacing.nBitrate = m_video.nBitrate;
    pacing.nFpsNum = m_video.nFpsNum;
    pacing.nFpsDen = m_video.nFpsDen;
    pacing.nKeyFrameUs = int64_t{p.lKeyFrameMs} * 1000;
    pacing.nQMin = m_video.nQMin;
    pacing.nQMax = m_video.nQMax;
    pacing.nWidth = m_video.nWidth;
    pacing.nHeight = m_video.nHeight;
    m_pPacer.reset(new CVideoPacer(pacing));
    hr = m_converter.Open(m_video.nWidth, m_video.nHeight);
    bool bChanged = false;
    return SUCCEEDED(hr) ? m_converter.Update(frame, &bChanged) : hr;
}

HRESULT CSession::OpenAudio() {
    m_pAudio = CreateAudioSource();
    return m_pAudio->Start(MonotonicUs() + kAudioStartUs);
}

CSession::~CSession() {
    if (m_bStarted) {
        Finish();
    }
    // A session never started: its output goes, the name stays as it was.
    m_pOutput.reset();
    StopSources();
}

void CSession::StopSources() {
    if (m_pScreen) {
        m_pScreen->Stop();
    }
    if (m_pAudio) {
        m_pAudio->Stop();
    }
}

bool CSession::Map(int64_t nTimeUs, int64_t* pnFileUs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_timeline.Map(nTimeUs, pnFileUs);
}

HRESULT CSession::Start() {
    if (m_bFinished) {
        return DV_E_NOT_PREPARED;
    }
    if (m_bStarted) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_timeline.Resume(MonotonicUs());
        return S_OK;
    }
    const int64_t nStartUs = MonotonicUs();
    m_timeline.Start(nStartUs);
    if (m_bVideo) {
        // The first picture, encoded before the start returns: a recording
        // stopped at once still has a frame. A screen with no new picture
        // yet gives the one taken at the open.
        CScreenFrame frame;
        bool bChanged = false;
        const HRESULT hr = m_pScreen->Grab(nStartUs + kGrabUs, &frame);
        if (FAILED(hr)) {
            m_hrScreen = hr;
        } else if (hr == S_OK && FAILED(m_converter.Update(frame, &bChanged))) {
            return E_OUTOFMEMORY;
        }
        m_nLastSlot = 0;
        const CPace pace = m_pPacer->Slot(0, int64_t{m_video.nWidth} * m_video.nHeight);
        AVFrame* pPicture = m_converter.Picture(0);
        int64_t nBytes = 0;
        HRESULT hrEncode = E_OUTOFMEMORY;
        if (pPicture != nullptr) {
            pPicture->pict_type = AV_PICTURE_TYPE_I;
            pPicture->quality = pace.nQuantiser * FF_QP2LAMBDA;
            hrEncode = m_pOutput->EncodeVideo(pPicture, &nBytes);
        }
        av_frame_free(&pPicture);
        if (FAILED(hrEncode)) {
            return hrEncode;
        }
        m_pPacer->Encoded(pace, nBytes);
    }
    HRESULT hr = m_pOutput->Commit();
    if (FAILED(hr)) {
        return hr;
    }
    m_bStarted = true;
    try {
        if (m_bVideo) {
            m_thEncode = std::thread(&CSession::EncodeThread, this);
            if (SUCCEEDED(m_hrScreen)) {
                m_thVideo = std::thread(&CSession::VideoThread, this);
            }
        }
        if (m_bAudio) {
            m_thAudio = std::thread(&CSession::AudioThread, this);
        }
    } catch (const std::exception&) {
        // Whatever did start is wound down by Finish(); the file stays valid.
        Finish();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CSession::Pause() {
    if (!m_bStarted || m_bFinished) {
        return DV_E_NOT_PREPARED;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    const int64_t nNow = MonotonicUs();
    if (!m_timeline.Paused() && m_timeline.Map(nNow, &m_nPauseFileUs)) {
        m_bPauseFrame = true;
    }
    m_timeline.Pause(nNow);
    return S_OK;
}

HRESULT CSession::Finish() {
    if (m_bFinished) {
        return S_OK;
    }
    m_bFinished = true;
    int64_t nEndUs = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_timeline.Stop(MonotonicUs());
        nEndUs = m_timeline.FileEndUs();
        m_bStopping = true;
    }
    m_cvStop.notify_all();
    if (m_thVideo.joinable()) {
        m_thVideo.join();
    }
    // The video track lasts as long as the recording, unless the screen was lost.
    if (m_bVideo && SUCCEEDED(m_hrScreen)) {
        CloseTrack(nEndUs);
    }
    StopThreads();
    StopSources();
    const HRESULT hrOutput = m_pOutput->Finish(m_nDropped);
    if (FAILED(hrOutput)) {
        return hrOutput;
    }
    if (FAILED(m_hrOutput)) {
        return m_hrOutput;
    }
    return FAILED(m_hrScreen) ? m_hrScreen.load() : m_hrAudio.load();
}

void CSession::StopThreads() {
    m_qFrames.Close();
    for (std::thread* pThread : {&m_thVideo, &m_thEncode, &m_thAudio}) {
        if (pThread->joinable()) {
            pThread->join();
        }
    }
    CVideoJob job;
    while (m_qFrames.Pop(&job)) {
        av_frame_free(&job.pFrame);
    }
}

// What changed in the picture, added to what changed since the last picture
// encoded; its area in picture pixels. A screen scaled into the picture, or
// resized, counts as changed all over.
int64_t CSession::AddChanged(const CScreenFrame& frame) {
    constexpr size_t kMaxRects = 64;
    const CRect whole{0, 0, m_video.nWidth, m_video.nHeight};
    std::vector<CRect> vNew;
    if (frame.nWidth == m_video.nWidth && frame.nHeight == m_video.nHeight &&
        !frame.vChanged.empty()) {
        vNew = frame.vChanged;
    } else {
        vNew.push_back(whole);
    }
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

// One picture for a slot: dropped when the slot is taken (counted when it
// changed anything), else what the pacer says. Slots that passed with no
// picture (a stall) count as dropped.
void CSession::TakeSlot(int64_t nSlot, const CScreenFrame& frame, bool bChanged) {
    const int64_t nChanged = bChanged ? AddChanged(frame) : 0;
    if (nSlot <= m_nLastSlot) {
        // Its change goes out with the next picture encoded.
        if (bChanged) {
            ++m_nDropped;
            std::lock_guard<std::mutex> lock(m_mutexPacer);
            m_pPacer->Slot(nSlot, nChanged);
        }
        return;
    }
    m_nDropped += nSlot - m_nLastSlot - 1;
    m_nLastSlot = nSlot;
    CPace pace;
    {
        std::lock_guard<std::mutex> lock(m_mutexPacer);
        pace = m_pPacer->Slot(nSlot, nChanged);
    }
    Submit(pace, false);
}

void CSession::CloseTrack(int64_t nFileUs) {
    const int64_t nSlot = SlotOf(m_video, std::max<int64_t>(nFileUs - 1, 0));
    CPace pace;
    {
        std::lock_guard<std::mutex> lock(m_mutexPacer);
        pace = m_pPacer->Close(nSlot);
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
        bool bChanged = false;
        if (hr == S_FALSE) {
            continue;
        }
        if (FAILED(m_converter.Update(frame, &bChanged))) {
            m_hrOutput = E_OUTOFMEMORY;
            break;
        }
        int64_t nFileUs = 0;
        if (Map(frame.nTimeUs, &nFileUs)) {
            const int64_t nSlot = SlotOf(m_video, nFileUs);
            TakeSlot(nSlot, frame, bChanged);
            // The next picture a quarter into the next slot, clear of its edges.
            nNextUs = frame.nTimeUs + SlotStartUs(m_video, nSlot + 1) - nFileUs + nIntervalUs / 4;
        }
    }
}

void CSession::EncodeThread() {
    CVideoJob job;
    while (m_qFrames.Pop(&job)) {
        int64_t nBytes = 0;
        const HRESULT hr = m_pOutput->EncodeVideo(job.pFrame, &nBytes);
        av_frame_free(&job.pFrame);
        std::lock_guard<std::mutex> lock(m_mutexPacer);
        if (FAILED(hr)) {
            m_hrOutput = hr;
            m_pPacer->Cancel(job.pace);
        } else {
            m_pPacer->Encoded(job.pace, nBytes);
        }
    }
    const HRESULT hr = m_pOutput->EncodeVideo(nullptr);
    if (FAILED(hr)) {
        m_hrOutput = hr;
    }
}

void CSession::AudioThread() {
    int64_t nDrainUntil = 0;
    int64_t nEndSamples = INT64_MAX;
    CAudioBlock block;
    HRESULT hr = S_OK;
    for (;;) {
        const int64_t nNow = MonotonicUs();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bStopping && nDrainUntil == 0) {
                // Samples arrive a little after they were captured: a stop
                // waits a moment for those from before it.
                nDrainUntil = nNow + kAudioDrainUs;
                nEndSamples = ToSamples(m_timeline.FileEndUs());
            }
        }
        if (nDrainUntil != 0 &&
            (nNow >= nDrainUntil || m_pOutput->AudioPosition() >= nEndSamples)) {
            break;
        }
        hr = m_pAudio->Read(nDrainUntil != 0 ? nDrainUntil : nNow + kReadUs, &block);
        if (FAILED(hr)) {
            m_hrAudio = hr;
            break;
        }
        int64_t nFileUs = 0;
        if (hr == S_OK && Map(block.nTimeUs, &nFileUs)) {
            hr = AddAudio(block, nFileUs, nEndSamples);
            if (FAILED(hr)) {
                m_hrOutput = hr;
                break;
            }
        }
    }
    // The sound track covers the whole recording, in silence where the
    // server delivered nothing.
    const int64_t nPosition = m_pOutput->AudioPosition();
    if (SUCCEEDED(hr) && nEndSamples != INT64_MAX && nEndSamples > nPosition) {
        hr = m_pOutput->WriteSilence(nEndSamples - nPosition);
    }
    hr = m_pOutput->FinishAudio();
    if (FAILED(hr)) {
        m_hrOutput = hr;
    }
}

// A block where its capture time puts it: the sample count keeps the stream
// continuous; where it strays from the clock (a stall, a pause cutting a
// block, a server starting late), silence is put in or samples left out.
HRESULT CSession::AddAudio(const CAudioBlock& block, int64_t nFileUs, int64_t nEndSamples) {
    const int64_t nFrames = static_cast<int64_t>(block.vSamples.size()) / libav::kAudioChannels;
    const int64_t nPosition = m_pOutput->AudioPosition();
    const int64_t nCorrection =
        libav::AudioCorrection(ToSamples(nFileUs), nPosition, kAudioToleranceSamples);
    HRESULT hr = nCorrection > 0 ? m_pOutput->WriteSilence(nCorrection) : S_OK;
    const int64_t nSkip = std::min(std::max<int64_t>(-nCorrection, 0), nFrames);
    const int64_t nTake = std::min(nFrames - nSkip, nEndSamples - m_pOutput->AudioPosition());
    if (SUCCEEDED(hr) && nTake > 0) {
        hr = m_pOutput->WriteAudio(block.vSamples.data() + nSkip * libav::kAudioChannels, nTake);
    }
    return hr;
}

}  // namespace dvlinux
