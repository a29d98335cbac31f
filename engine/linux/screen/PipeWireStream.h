// One screen-cast stream of a PipeWire remote (one monitor): agrees on a
// format we can read from memory (B, G, R or R, G, B with x or alpha), at no
// more pictures a second than the recording takes, receives pictures on
// PipeWire's thread and keeps the latest one in B, G, R, x order, with what
// changed in it: the stream's damage metadata where it sends some, found by
// comparing tiles with the previous picture where it does not.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "engine/core/ScreenSource.h"
#include "engine/core/TileDiff.h"

struct pw_thread_loop;
struct pw_core;
struct pw_stream;
struct spa_pod;
struct spa_buffer;

namespace dvengine {

// What the streams of one remote share with the thread that reads them.
struct CStreamSignal {
    std::mutex mutex;  // every stream's picture and state below
    std::condition_variable cv;
    // A picture came (or a buffer was dropped, or a stream went) since the
    // reader looked.
    bool bArrived = false;
};

class CPipeWireStream {
public:
    explicit CPipeWireStream(CStreamSignal* pSignal);
    ~CPipeWireStream();
    CPipeWireStream(const CPipeWireStream&) = delete;
    CPipeWireStream& operator=(const CPipeWireStream&) = delete;

    // With pLoop locked: connects to node nNode of pCore, the remote pLoop
    // runs; false when the stream cannot be made. Connected() tells when it
    // is, and pLoop is signalled at each change of state.
    bool Connect(pw_thread_loop* pLoop, pw_core* pCore, uint32_t nNode, int nFpsTimes1000);
    // With the remote's loop locked; idempotent.
    void Disconnect();
    // With the remote's loop locked: connected (paused or streaming), or
    // failed for good.
    bool Connected() const;
    bool Failed() const;
    uint32_t Node() const { return m_nNode; }

    // Under the signal's mutex from here on.
    // The stream's size: its latest picture's, else its agreed format's; 0
    // while neither is known.
    int Width() const { return m_nWidth > 0 ? m_nWidth : m_nAgreedWidth; }
    int Height() const { return m_nWidth > 0 ? m_nHeight : m_nAgreedHeight; }
    bool HasPicture() const { return !m_vLatest.empty(); }
    bool Lost() const { return m_bLost; }
    void SetLost();
    // Copies into pCanvas at (x, y) what changed since the last call (all
    // of the picture when bAll) and appends those rectangles, in the
    // canvas's coordinates, to *pvChanged.
    void Collect(uint8_t* pCanvas, size_t nStride, int x, int y, bool bAll,
                 std::vector<CRect>* pvChanged);

    // Called on PipeWire's thread.
    // What a callback threw: the stream is lost.
    void OnFailed() noexcept;
    void OnState(int nState);
    void OnFormat(const spa_pod* pParam);
    void OnProcess();

private:
    void Take(const spa_buffer* pBuffer);
    bool Damage(const spa_buffer* pBuffer, std::vector<CRect>* pvDamage) const;
    void AddChanged(const CRect& rect);

    CStreamSignal* m_pSignal;
    pw_thread_loop* m_pLoop = nullptr;
    pw_stream* m_pStream = nullptr;
    struct CHook;
    CHook* m_pHook = nullptr;
    uint32_t m_nNode = 0;
    int m_nState = 0;  // pw_stream_state, under the loop's lock

    // PipeWire's thread only: the agreed format, the previous picture's
    // tiles, and whether the picture before was dropped.
    int m_nFormatWidth = 0;
    int m_nFormatHeight = 0;
    bool m_bSwap = false;  // R, G, B order
    CTileDiff m_tiles;
    bool m_bDropped = false;
    int64_t m_nCheckUs = 0;  // when reported damage is next checked against the pixels

    // Under the signal's mutex: the latest picture, tightly packed, and what
    // changed in it since the last Collect().
    int m_nAgreedWidth = 0;
    int m_nAgreedHeight = 0;
    std::vector<uint8_t> m_vLatest;
    int m_nWidth = 0;
    int m_nHeight = 0;
    std::vector<CRect> m_vChanged;
    bool m_bWhole = false;  // the whole picture changed
    bool m_bLost = false;
};

}  // namespace dvengine
