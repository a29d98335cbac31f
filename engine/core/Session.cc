// Opening, starting, pausing and finishing a session: the order in which
// the sources, encoders and file are opened, the threads' lifecycle, and the
// audio thread. The video path (capture, pacing, encoding) is in VideoPath.cc.
#include "engine/core/Session.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <utility>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/frame.h>
}

#include "deskvid/deskvid_status.h"
#include "port/port.h"

namespace dvengine {
namespace {

constexpr int64_t kScreenStartUs = 1500000;  // connecting to the screen
constexpr int64_t kPictureUs = 1500000;      // its first picture, once connected
constexpr int64_t kAudioStartUs = 1500000;   // connecting to the audio server
constexpr int64_t kReadUs = 100000;          // one wait for audio
constexpr int64_t kPollUs = 10000;           // one wait when several sources are mixed
constexpr int64_t kBatchUs = 100000;         // the sound taken at a time until the stop
constexpr int64_t kAudioDrainUs = 250000;    // a stop's wait for audio captured before it
// A source silent this long (or this much longer than its samples have ever
// come late, up to kMaxMixLagUs) is silence in the mix rather than waited for.
constexpr int64_t kMixLagUs = 1500000;
constexpr int64_t kMaxMixLagUs = 5000000;
// A block whose stamp puts its end this far past the time it was read holds
// older sound than its stamp says (a backlog handed over as if current).
constexpr int64_t kFutureUs = 20000;

int64_t ToSamples(int64_t nUs) {
    return nUs * kAudioSampleRate / 1000000;
}

int64_t FramesToUs(int64_t nFrames) {
    return nFrames * 1000000 / kAudioSampleRate;
}

}  // namespace

CSession::CSession(const CSnapshot& snap) : m_snap(snap) {
    m_bVideo = (snap.profile.lContentType & kContentVideo) != 0;
    m_bAudio = (snap.profile.lContentType & kContentAudio) != 0;
    std::string strTiming;
    m_bConstantRate = port::GetEnvironment("DESKVID_TIMING", &strTiming) && strTiming == "constant";
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
// its size when the profile leaves it to the screen. The wait for the
// picture begins once the source has started: a person may have taken their
// time to allow the recording.
HRESULT CSession::OpenScreen() {
    CScreenOptions options;
    options.nFpsTimes1000 = static_cast<int>(m_snap.profile.lFpsTimes1000);
    m_pScreen = CreateScreenSource(options);
    HRESULT hr = m_pScreen->Start(MonotonicUs() + kScreenStartUs);
    if (FAILED(hr)) {
        return hr;
    }
    const int64_t nDeadline = MonotonicUs() + kPictureUs;
    CScreenFrame frame;
    while ((hr = m_pScreen->Grab(nDeadline, &frame)) == S_FALSE && MonotonicUs() < nDeadline) {
        m_pScreen->WaitForChange(std::min(nDeadline, MonotonicUs() + 20000));
    }
    if (FAILED(hr)) {
        return hr;
    }
    // A still screen may send nothing yet: the recording takes the size the
    // source knows, and is black until a picture comes.
    m_bPictured = hr == S_OK;
    if (hr == S_FALSE) {
        m_pScreen->Size(&frame.nWidth, &frame.nHeight);
    }
    const CProfileSettings& p = m_snap.profile;
    if (hr == S_FALSE && (p.lWidth <= 0 || p.lHeight <= 0) &&
        (frame.nWidth <= 0 || frame.nHeight <= 0)) {
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
    std::vector<CRect> vChanged;
    return SUCCEEDED(hr) && frame.pPixels != nullptr ? m_converter.Update(frame, &vChanged) : hr;
}

HRESULT CSession::OpenAudio() {
    std::string strAudio;
    const bool bAudioChosen = port::GetEnvironment("DESKVID_AUDIO", &strAudio);
    if (!CreateAudioSources(bAudioChosen ? strAudio.c_str() : nullptr, &m_vAudio)) {
        return DV_E_BAD_INPUT;
    }
    const int64_t nDeadline = MonotonicUs() + kAudioStartUs;
    for (const auto& pSource : m_vAudio) {
        const HRESULT hr = pSource->Start(nDeadline);
        if (FAILED(hr)) {
            return hr;
        }
    }
    return S_OK;
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
    for (const auto& pSource : m_vAudio) {
        pSource->Stop();
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
    if (m_bVideo && !m_bFirstPicture) {
        // The first picture, encoded before the start returns: a recording
        // stopped at once still has a frame. A screen with no new picture
        // yet gives the one taken at the open. Encoded once: a start tried
        // again after failing later on has it already.
        CScreenFrame frame;
        std::vector<CRect> vChanged;
        const HRESULT hr = m_pScreen->Grab(nStartUs + kGrabUs, &frame);
        if (FAILED(hr)) {
            m_hrScreen = hr;
        } else if (hr == S_OK && FAILED(m_converter.Update(frame, &vChanged))) {
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
        m_bFirstPicture = true;
    }
    HRESULT hr = m_pOutput->Commit();
    if (FAILED(hr)) {
        return hr;
    }
    m_bStarted = true;
    try {
        if (m_bVideo) {
            m_thEncode = std::thread(&CSession::Guarded, this, &CSession::EncodeThread);
            if (SUCCEEDED(m_hrScreen)) {
                m_thVideo = std::thread(&CSession::Guarded, this, &CSession::VideoThread);
            }
        }
        if (m_bAudio) {
            m_thAudio = std::thread(&CSession::Guarded, this, &CSession::AudioThread);
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
        m_nStopUs = MonotonicUs();
        m_timeline.Stop(m_nStopUs);
        nEndUs = m_timeline.FileEndUs();
        m_bStopping = true;
    }
    m_cvStop.notify_all();
    if (m_thVideo.joinable()) {
        m_thVideo.join();
    }
    // The video track lasts as long as the recording, unless the screen was
    // lost; one stalled at the stop ends with the picture it held, and is
    // reported lost since it was not back by then.
    const bool bStalled = m_bVideo && SUCCEEDED(m_hrScreen) && m_pScreen->Stalled();
    if (m_bVideo && SUCCEEDED(m_hrScreen)) {
        CloseTrack(nEndUs);
    }
    StopThreads();
    StopSources();
    const HRESULT hrOutput = m_pOutput->Finish(m_nDropped, m_nAudioGapMs);
    if (FAILED(hrOutput)) {
        return hrOutput;
    }
    if (FAILED(m_hrOutput)) {
        return m_hrOutput;
    }
    if (FAILED(m_hrScreen) || bStalled) {
        return FAILED(m_hrScreen) ? m_hrScreen.load() : DV_E_NO_DISPLAY;
    }
    return m_hrAudio.load();
}

void CSession::Guarded(void (CSession::*pfnBody)()) noexcept {
    try {
        (this->*pfnBody)();
    } catch (...) {
        HRESULT hr = S_OK;
        m_hrOutput.compare_exchange_strong(hr, E_OUTOFMEMORY);
        // Nothing may wait for an encoder that is gone.
        if (pfnBody == &CSession::EncodeThread) {
            m_qFrames.Close();
        }
    }
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

// Reads every source, mixes them on the file's timeline and writes the mix
// as far as every source has delivered. A source that fails (its device
// lost, for now) no longer holds the mix back and is read again, since it
// may come back; only one still failing at the stop is reported. The track
// never waits for a source silent longer than the mix's lag: its place is
// silence, written in bounded pieces, so a gap of any length costs no memory.
void CSession::AudioThread() {
    const auto nSources = static_cast<int>(m_vAudio.size());
    CAudioMixer mixer(nSources);
    std::vector<HRESULT> vLast(m_vAudio.size(), S_OK);  // each source's last read
    // Where each source's samples reach, on the capture clock.
    std::vector<int64_t> vReachUs(m_vAudio.size(), INT64_MIN);
    int64_t nStopUs = INT64_MAX;
    int64_t nDrainUntil = 0;
    int64_t nEndSamples = INT64_MAX;
    CAudioBlock block;
    HRESULT hr = S_OK;
    bool bLostBlock = false;  // memory ran out for a block
    bool bTook = false;       // the last pass took sound: more may be waiting
    // A device that hands its samples over in large batches (a sink's
    // monitor that no player keeps at a low latency) is waited for that much.
    int64_t nMixLagUs = kMixLagUs;
    while (SUCCEEDED(hr)) {
        int64_t nNow = 0;
        int64_t nFloor = mixer.Position();
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (nDrainUntil == 0 && !bTook) {
                // Until the stop, the sound is taken in batches: one wake-up
                // a batch rather than one for each of the server's fragments.
                // The sources hand their fragments over one at a time, each
                // with its own stamp.
                const auto tBatch =
                    std::chrono::steady_clock::now() + std::chrono::microseconds(kBatchUs);
                m_cvStop.wait_until(lock, tBatch, [this] { return m_bStopping; });
            }
            nNow = MonotonicUs();
            if (m_bStopping && nDrainUntil == 0) {
                // Samples arrive a little after they were captured: a stop
                // waits a moment for those from before it.
                nDrainUntil = nNow + kAudioDrainUs;
                nEndSamples = ToSamples(m_timeline.FileEndUs());
                nStopUs = m_nStopUs;
            }
            int64_t nFileUs = 0;
            if (m_timeline.Map(nNow - nMixLagUs, &nFileUs)) {
                nFloor = std::max(nFloor, ToSamples(nFileUs));
            }
        }
        // Every delivering source has its samples up to the stop once its
        // stamps reach past it (the last of them are cut at the stop, and
        // the resampler keeps a few back, so the mix may end a little short:
        // silence makes up the rest).
        bool bAllIn = true;
        for (int i = 0; i < nSources; ++i) {
            bAllIn = bAllIn && (FAILED(vLast[i]) || vReachUs[i] >= nStopUs);
        }
        if (nDrainUntil != 0 && (nNow >= nDrainUntil || bAllIn || mixer.Ready(0) >= nEndSamples)) {
            break;
        }
        bool bFirst = true;
        bTook = false;
        for (int i = 0; i < nSources; ++i) {
            // Each source hands over what it has; while a stop drains, one
            // source waits for its samples, and with several the first waits
            // briefly.
            int64_t nDeadline = nNow;
            if (nDrainUntil != 0 && SUCCEEDED(vLast[i])) {
                nDeadline = std::min(nSources == 1 ? nNow + kReadUs
                                     : bFirst      ? nNow + kPollUs
                                                   : nNow,
                                     nDrainUntil);
                bFirst = false;
            }
            const HRESULT hrRead = m_vAudio[i]->Read(nDeadline, &block);
            if (FAILED(hrRead)) {
                vLast[i] = hrRead;
                mixer.SetLive(i, false);
            } else if (hrRead == S_OK) {
                vLast[i] = S_OK;
                mixer.SetLive(i, true);
                bTook = true;
                const auto nFrames = static_cast<int64_t>(block.vSamples.size() / kAudioChannels);
                vReachUs[i] = std::max(vReachUs[i], block.nTimeUs + FramesToUs(nFrames));
                const int64_t nLateUs = nNow - block.nTimeUs - FramesToUs(nFrames);
                nMixLagUs = std::clamp(nLateUs + kMixLagUs / 2, nMixLagUs, kMaxMixLagUs);
                try {
                    PlaceAudio(&mixer, i, block, MonotonicUs());
                } catch (const std::bad_alloc&) {
                    bLostBlock = true;  // that block alone
                }
            }
        }
        hr = WriteMix(&mixer, std::min(mixer.Ready(nFloor), nEndSamples));
    }
    // What the sources delivered, then silence: the sound track covers the
    // whole recording.
    if (SUCCEEDED(hr)) {
        hr = WriteMix(&mixer, std::min(mixer.End(), nEndSamples));
    }
    const int64_t nPosition = m_pOutput->AudioPosition();
    if (SUCCEEDED(hr) && nEndSamples != INT64_MAX && nEndSamples > nPosition) {
        hr = m_pOutput->WriteSilence(nEndSamples - nPosition);
    }
    const HRESULT hrFinish = m_pOutput->FinishAudio();
    if (FAILED(hr) || FAILED(hrFinish)) {
        m_hrOutput = FAILED(hr) ? hr : hrFinish;
    }
    // The silence left where a device delivered nothing: its gaps, and the
    // rest of the recording for one still gone at the stop.
    int64_t nGap = 0;
    for (int i = 0; i < nSources; ++i) {
        nGap += mixer.GapFrames(i);
        if (FAILED(vLast[i]) && nEndSamples != INT64_MAX) {
            nGap += std::max<int64_t>(nEndSamples - std::max(mixer.End(i), int64_t(0)), 0);
        }
        if (FAILED(vLast[i]) && SUCCEEDED(m_hrAudio)) {
            m_hrAudio = vLast[i];
        }
    }
    m_nAudioGapMs = FramesToUs(nGap) / 1000;
    if (bLostBlock && SUCCEEDED(m_hrAudio)) {
        m_hrAudio = E_OUTOFMEMORY;
    }
}

void CSession::PlaceAudio(CAudioMixer* pMixer, int iSource, const CAudioBlock& block,
                          int64_t nReadUs) {
    const auto nFrames = static_cast<int64_t>(block.vSamples.size() / kAudioChannels);
    int64_t nTimeUs = block.nTimeUs;
    // No sample is captured after it is read: a backlog stamped as current
    // is placed before the read, where it belongs (before the start, most
    // often, so it is not recorded). What an output plays is stamped when it
    // is heard, after it is read by the output's latency.
    const bool bTrusted = block.bPlayout || nTimeUs + FramesToUs(nFrames) <= nReadUs + kFutureUs;
    if (!bTrusted) {
        nTimeUs = nReadUs - FramesToUs(nFrames);
    }
    for (int64_t nDone = 0; nDone < nFrames;) {
        int64_t nFileUs = 0;
        int64_t nBoundUs = 0;
        bool bIn = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            bIn = m_timeline.Locate(nTimeUs + FramesToUs(nDone), &nFileUs, &nBoundUs);
        }
        int64_t nUpTo = nFrames;
        if (nBoundUs != INT64_MAX) {
            const int64_t nBound =
                ((nBoundUs - nTimeUs) * kAudioSampleRate + 999999) / 1000000;  // first at or past
            nUpTo = std::clamp<int64_t>(nBound, nDone + 1, nFrames);
        }
        if (bIn) {
            pMixer->Add(iSource, block.vSamples.data() + nDone * kAudioChannels, nUpTo - nDone,
                        static_cast<double>(nFileUs) * kAudioSampleRate / 1000000, bTrusted);
        }
        nDone = nUpTo;
    }
}

// In pieces of at most a second, whatever the gap: silence costs no memory
// and no coding beyond the encoder's own.
HRESULT CSession::WriteMix(CAudioMixer* pMixer, int64_t nUntil) {
    constexpr int64_t kPiece = kAudioSampleRate;
    HRESULT hr = S_OK;
    while (SUCCEEDED(hr) && pMixer->Position() < nUntil) {
        const int64_t nFrom = pMixer->Position();
        const int64_t nTo = std::min(nUntil, nFrom + kPiece);
        hr = pMixer->Take(nTo, &m_vMix) ? m_pOutput->WriteAudio(m_vMix.data(), nTo - nFrom)
                                        : m_pOutput->WriteSilence(nTo - nFrom);
    }
    return hr;
}

}  // namespace dvengine
