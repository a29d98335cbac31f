// A screen-cast PipeWire stream: receives BGRx/BGRA pictures in shared
// memory on PipeWire's own thread and keeps the latest one, with the
// rectangles its damage metadata says changed.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "engine/core/ScreenSource.h"

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_stream;
struct pw_registry;
struct spa_pod;
struct spa_buffer;

namespace dvengine {

class CPipeWireStream {
public:
    CPipeWireStream();
    ~CPipeWireStream();
    CPipeWireStream(const CPipeWireStream&) = delete;
    CPipeWireStream& operator=(const CPipeWireStream&) = delete;

    // Connects to node nNode through the remote nFd (taken over, closed on
    // every path). S_OK once the stream is connected, DV_E_NO_DISPLAY when it
    // cannot be by nDeadlineUs.
    HRESULT Start(int nFd, uint32_t nNode, int64_t nDeadlineUs);

    // S_OK with the latest picture and what changed in it since the last
    // Grab(); S_FALSE before the first picture; DV_E_NO_DISPLAY once the
    // stream is gone.
    HRESULT Grab(CScreenFrame* pFrame);

    // True when a picture came (or the stream went) since the last Grab().
    bool WaitForChange(int64_t nDeadlineUs);

    // Also wakes WaitForChange(); idempotent.
    void Stop();

    // Called on PipeWire's thread.
    void OnState(int nState);
    void OnFormat(const spa_pod* pParam);
    void OnProcess();
    void OnRemoved(uint32_t nId);
    void OnLost();

private:
    void Take(const spa_buffer* pBuffer);
    void AddChanged(const CRect& rect);

    pw_thread_loop* m_pLoop = nullptr;
    pw_context* m_pContext = nullptr;
    pw_core* m_pCore = nullptr;
    pw_stream* m_pStream = nullptr;
    pw_registry* m_pRegistry = nullptr;
    uint32_t m_nNode = 0;
    struct CHooks;
    CHooks* m_pHooks = nullptr;
    bool m_bRunning = false;
    int m_nState = 0;  // pw_stream_state, under the loop's lock

    // The negotiated format; PipeWire's thread only.
    int m_nFormatWidth = 0;
    int m_nFormatHeight = 0;

    std::mutex m_mutex;
    std::condition_variable m_cvChange;
    // The latest picture, tightly packed, and what changed in it since the
    // last Grab(); under m_mutex.
    std::vector<uint8_t> m_vLatest;
    int m_nWidth = 0;
    int m_nHeight = 0;
    int64_t m_nTimeUs = 0;
    std::vector<CRect> m_vChanged;
    bool m_bWhole = false;    // the whole picture changed (first, resized)
    bool m_bArrived = false;  // something came since the last Grab()
    bool m_bLost = false;
    // The picture handed out, brought up to date by Grab(); Grab()'s caller
    // only.
    std::vector<uint8_t> m_vOut;
    int m_nOutWidth = 0;
    int m_nOutHeight = 0;
};

}  // namespace dvengine
