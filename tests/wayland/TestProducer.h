// A screen-cast producer of our own, for what no compositor here sends (KDE's
// BGRA and several damage rectangles, streams without positions, corrupted
// buffers): a PipeWire daemon of the test's own, and output streams that send
// exactly the pictures, damage and flags a test chooses. No session manager
// runs: a small linker joins each consumer to the node it asked for.
#pragma once

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "engine/core/ScreenSource.h"

namespace testpw {

using dvengine::CRect;

// The daemon, run in a runtime folder of its own, and one client of it.
class CTestPipeWire {
public:
    CTestPipeWire() = default;
    ~CTestPipeWire();
    // False when there is no PipeWire to run.
    bool Start();
    // A new connection to the daemon, for a consumer to take over.
    int Connect() const;
    std::string Socket() const { return m_strDir + "/pipewire-0"; }

    pw_thread_loop* Loop() const { return m_pLoop; }
    pw_core* Core() const { return m_pCore; }
    void OnGlobal(uint32_t nId, const char* pszType, const spa_dict* pProps);
    void OnTarget(uint32_t nNode, uint32_t nTarget);

private:
    void Link();

    std::string m_strDir;
    pid_t m_nDaemon = -1;
    pw_thread_loop* m_pLoop = nullptr;
    pw_context* m_pContext = nullptr;
    pw_core* m_pCore = nullptr;
    pw_registry* m_pRegistry = nullptr;
    spa_hook m_registryHook = {};
    // The linker's view: which node each consumer wants, each node's port.
    std::map<uint32_t, uint32_t> m_mapTarget;
    std::map<uint32_t, uint32_t> m_mapOutPort;
    std::map<uint32_t, uint32_t> m_mapInPort;
    std::list<std::pair<pw_proxy*, spa_hook>> m_listNodes;
    std::vector<pw_proxy*> m_vLinks;
};

class CTestProducer {
public:
    // Offers nFormat at nWidth x nHeight, with damage metadata when bDamage.
    CTestProducer(CTestPipeWire* pPipeWire, spa_video_format nFormat, int nWidth, int nHeight,
                  bool bDamage);
    ~CTestProducer();
    uint32_t Node();

    // Changes the producer's picture in rect, to a pattern seeded by nSeed.
    void Paint(const CRect& rect, int nSeed);
    // Sends the picture, with the damage given (none: no damage metadata
    // filled in), its header marked corrupted when bCorrupt, and waits
    // until a cycle of the graph has carried it. False when none did within
    // a few seconds.
    bool Send(const std::vector<CRect>& vDamage, bool bCorrupt = false);
    // A new size: the format is agreed again, the picture painted afresh.
    void Resize(int nWidth, int nHeight);

    // The picture's pixel at (x, y) as the consumer should see it: B, G, R.
    uint32_t Expected(int x, int y) const;
    int Width() const { return m_nWidth; }
    int Height() const { return m_nHeight; }
    // The highest rate the consumer asked for, once agreed.
    spa_fraction MaxRate();

    void OnFormat(const spa_pod* pParam);
    void OnState(pw_stream_state state);
    void OnCycle();

private:
    void Offer();
    bool Fill();

    CTestPipeWire* m_pPipeWire;
    spa_video_format m_nFormat;
    int m_nWidth;
    int m_nHeight;
    bool m_bDamage;
    pw_stream* m_pStream = nullptr;
    spa_hook m_hook = {};
    std::vector<uint8_t> m_vPicture;  // in the stream's format

    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bStreaming = false;
    bool m_bAgreed = false;
    spa_fraction m_maxRate = {0, 1};
    uint64_t m_nCycles = 0;  // cycles of the graph this producer drove
    // What the next buffer carries besides the picture.
    std::vector<CRect> m_vDamage;
    bool m_bCorrupt = false;
};

}  // namespace testpw
