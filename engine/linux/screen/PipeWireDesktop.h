// The whole desktop from a PipeWire remote: one stream per monitor,
// composited by the monitors' positions into the desktop's bounding box; a
// monitor whose position is not told goes beside the others, in order. A
// monitor that goes or changes size changes the desktop's size.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/linux/screen/PipeWireStream.h"

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_registry;

namespace dvengine {

// One monitor of the desktop: its stream's node, and where it lies when
// that is known.
struct CDesktopStream {
    uint32_t nNode = 0;
    bool bPositioned = false;
    int32_t x = 0;
    int32_t y = 0;
};

class CPipeWireDesktop {
public:
    CPipeWireDesktop();
    ~CPipeWireDesktop();
    CPipeWireDesktop(const CPipeWireDesktop&) = delete;
    CPipeWireDesktop& operator=(const CPipeWireDesktop&) = delete;

    // Connects to every stream's node through the remote nFd (taken over,
    // closed on every path), asking each for at most nFpsTimes1000 / 1000
    // pictures a second. S_OK once all are connected (pictures may come
    // much later); DV_E_NO_DISPLAY when one cannot be by nDeadlineUs.
    HRESULT Start(int nFd, const std::vector<CDesktopStream>& vStreams, int nFpsTimes1000,
                  int64_t nDeadlineUs);

    // S_OK with the desktop as it is now and what changed since the last
    // Grab() (all of it after a change of size), black where a monitor has
    // sent no picture yet; S_FALSE before the first picture of any monitor;
    // DV_E_NO_DISPLAY once every monitor's stream (or the remote) is gone.
    HRESULT Grab(CScreenFrame* pFrame);

    // The desktop's size once a monitor's size is known.
    bool Size(int* pnWidth, int* pnHeight);

    // True when a picture came (or a stream went) since the last Grab().
    bool WaitForChange(int64_t nDeadlineUs);

    // Also wakes WaitForChange(); idempotent.
    void Stop();

    // Called on PipeWire's thread.
    void OnRemoved(uint32_t nId);
    void OnLost();

private:
    // Where a stream lies and how large it is: a monitor that shrinks must
    // not leave its old picture in what it no longer covers, even when the
    // desktop's box stays as it was.
    struct CPlace {
        CPipeWireStream* pStream;
        int x;
        int y;
        int nWidth;
        int nHeight;
        bool operator==(const CPlace& o) const {
            return pStream == o.pStream && x == o.x && y == o.y && nWidth == o.nWidth &&
                   nHeight == o.nHeight;
        }
    };
    // Under the signal's mutex: where each live stream of known size lies,
    // and the desktop's size.
    void Layout(std::vector<CPlace>* pvPlaces, int* pnWidth, int* pnHeight) const;

    pw_thread_loop* m_pLoop = nullptr;
    pw_context* m_pContext = nullptr;
    pw_core* m_pCore = nullptr;
    pw_registry* m_pRegistry = nullptr;
    struct CHooks;
    CHooks* m_pHooks = nullptr;
    bool m_bRunning = false;

    CStreamSignal m_signal;
    std::vector<CDesktopStream> m_vWhere;
    std::vector<std::unique_ptr<CPipeWireStream>> m_vStreams;
    bool m_bLost = false;  // the remote is gone; under the signal's mutex

    // The picture handed out; Grab()'s caller only.
    std::vector<uint8_t> m_vCanvas;
    int m_nWidth = 0;
    int m_nHeight = 0;
    std::vector<CPlace> m_vPlaces;
};

}  // namespace dvengine
