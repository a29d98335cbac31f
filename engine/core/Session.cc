// Opening, starting, pausing and finishing a session: the order in which
// the sources, encoders and file are opened, the threads' lifecycle, and the
// audio thread. The video path (capture, pacing, encoding) is in VideoPath.cc.
#include "engine/core/Session.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/frame.h>
}

#include "deskvid/deskvid_status.h"

namespace dvengine {
namespace {

constexpr int64_t kScreenStartUs = 1500000;  // connecting to the screen
constexpr int64_t kAudioStartUs = 1500000;   // connecting to the audio server
constexpr int64_t kReadUs = 100000;          // one wait for audio
constexpr int64_t kAudioDrainUs = 250000;    // a stop's wait for audio captured before it
// How far the audio's sample count may stray from the capture clock before
// silence is put in or samples left out.
constexpr int64_t kAudioToleranceSamples = kAudioSampleRate * 60 / 1000;

int64_t ToSamples(int64_t nUs) {
    return nUs * kAudioSampleRate / 1000000;
}

}  // namespace

CSession::CSession(const CSnapshot& snap) : m_snap(snap) {
    m_bVideo = (snap.profile.lContentType & kContentVideo) != 0;
    m_bAudio = (snap.profile.lContentType & kContentAudio) != 0;
    const char* pszTiming = std::getenv("DESKVID_TIMING");
    m_bConstantRate = pszTiming != nullptr && std::strcmp(pszTiming, "constant") == 0;
}

HRESULT CSession::Open(const CSnapshot& snap, std::unique_ptr<CSession>* ppSession) {
    HRESULT hr = CheckSnapshot(snap);
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
        if (SUCCEEDED(hr) && pSession->m_bVideo) {
            hr = pSession->m_converter.UseLayout(pSession->m_pOutput->InputLayout());
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
    const CProfileSettings& p = m_snap.profile;
    if (hr == S_FALSE && (p.lWidth <= 0 || p.lHeight <= 0)) {
        return DV_E_NO_DISPLAY;
    }
    m_video = MapVideo(p, frame.nWidth, frame.nHeight);
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
    const int64_t nFrames = static_cast<int64_t>(block.vSamples.size()) / kAudioChannels;
    const int64_t nPosition = m_pOutput->AudioPosition();
    const int64_t nCorrection =
        AudioCorrection(ToSamples(nFileUs), nPosition, kAudioToleranceSamples);
    HRESULT hr = nCorrection > 0 ? m_pOutput->WriteSilence(nCorrection) : S_OK;
    const int64_t nSkip = std::min(std::max<int64_t>(-nCorrection, 0), nFrames);
    const int64_t nTake = std::min(nFrames - nSkip, nEndSamples - m_pOutput->AudioPosition());
    if (SUCCEEDED(hr) && nTake > 0) {
        hr = m_pOutput->WriteAudio(block.vSamples.data() + nSkip * kAudioChannels, nTake);
    }
    return hr;
}

}  // namespace dvengine
