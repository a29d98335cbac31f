// A screen-cast producer of our own, for what no compositor here sends (KDE's
// BGRA and several damage rectangles, streams without positions, corrupted
// buffers): a PipeWire daemon of the test's own, and output streams that send
// exactly the pictures, damage and flags a test chooses. No session manager
// runs: a small linker joins each consumer to the node it asked for.
#pragma once

#include <pipewire/pipewire.h>
#include <signal.h>
#include <spa/buffer/meta.h>
#include <spa/param/format-utils.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/ScreenSource.h"

namespace testpw {

using dvengine::CRect;

inline const auto kWait = std::chrono::seconds(5);

// A daemon with no session manager, no devices and no drivers but ours.
inline const char kConfig[] = R"(context.properties = { core.daemon = true core.name = pipewire-0 }
context.spa-libs = { support.* = support/libspa-support }
context.modules = [
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-access }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-link-factory }
]
)";

inline uint32_t Number(const spa_dict* pProps, const char* pszKey) {
    const char* psz = pProps != nullptr ? spa_dict_lookup(pProps, pszKey) : nullptr;
    return psz != nullptr ? static_cast<uint32_t>(std::strtoul(psz, nullptr, 10)) : SPA_ID_INVALID;
}

inline bool IsRgb(spa_video_format nFormat) {
    return nFormat == SPA_VIDEO_FORMAT_RGBx || nFormat == SPA_VIDEO_FORMAT_RGBA;
}

// The daemon, run in a runtime folder of its own, and one client of it.
class CTestPipeWire {
public:
    ~CTestPipeWire() {
        if (m_pLoop != nullptr) {
            pw_thread_loop_lock(m_pLoop);
            // The proxies of this client (the nodes bound, the links made,
            // the registry), then the core.
            for (spa_hook& hook : m_listNodeHooks) {
                spa_hook_remove(&hook);
            }
            for (pw_proxy* pProxy : m_vProxies) {
                pw_proxy_destroy(pProxy);
            }
            if (m_pRegistry != nullptr) {
                spa_hook_remove(&m_registryHook);
                pw_proxy_destroy(reinterpret_cast<pw_proxy*>(m_pRegistry));
            }
            if (m_pCore != nullptr) {
                pw_core_disconnect(m_pCore);
            }
            pw_thread_loop_unlock(m_pLoop);
            pw_thread_loop_stop(m_pLoop);
            pw_context_destroy(m_pContext);
            pw_thread_loop_destroy(m_pLoop);
        }
        if (m_nDaemon > 0) {
            kill(m_nDaemon, SIGTERM);
            waitpid(m_nDaemon, nullptr, 0);
        }
        if (!m_strDir.empty()) {
            std::system(("rm -rf '" + m_strDir + "'").c_str());
        }
    }

    // False when there is no PipeWire to run.
    bool Start() {
        char szDir[] = "/tmp/deskvid-pipewire.XXXXXX";
        if (mkdtemp(szDir) == nullptr) {
            return false;
        }
        m_strDir = szDir;
        std::ofstream(m_strDir + "/test.conf") << kConfig;
        m_nDaemon = fork();
        if (m_nDaemon == 0) {
            setenv("XDG_RUNTIME_DIR", m_strDir.c_str(), 1);
            const std::string strConfig = m_strDir + "/test.conf";
            freopen((m_strDir + "/pipewire.log").c_str(), "w", stderr);
            execlp("pipewire", "pipewire", "-c", strConfig.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        int fd = -1;
        for (int i = 0; i < 100 && fd < 0 && m_nDaemon > 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            fd = Connect();
        }
        if (fd < 0) {
            return false;
        }
        pw_init(nullptr, nullptr);
        m_pLoop = pw_thread_loop_new("test-producer", nullptr);
        m_pContext = pw_context_new(pw_thread_loop_get_loop(m_pLoop), nullptr, 0);
        pw_thread_loop_start(m_pLoop);
        pw_thread_loop_lock(m_pLoop);
        m_pCore = pw_context_connect_fd(m_pContext, fd, nullptr, 0);
        if (m_pCore != nullptr) {
            static pw_registry_events s_events = [] {
                pw_registry_events events = {};
                events.version = PW_VERSION_REGISTRY_EVENTS;
                events.global = [](void* p, uint32_t nId, uint32_t, const char* pszType, uint32_t,
                                   const spa_dict* pProps) {
                    static_cast<CTestPipeWire*>(p)->OnGlobal(nId, pszType, pProps);
                };
                return events;
            }();
            m_pRegistry = pw_core_get_registry(m_pCore, PW_VERSION_REGISTRY, 0);
            pw_registry_add_listener(m_pRegistry, &m_registryHook, &s_events, this);
        }
        pw_thread_loop_unlock(m_pLoop);
        return m_pCore != nullptr;
    }

    // A new connection to the daemon, for a consumer to take over.
    int Connect() const {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", Socket().c_str());
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }
    std::string Socket() const { return m_strDir + "/pipewire-0"; }
    pw_thread_loop* Loop() const { return m_pLoop; }
    pw_core* Core() const { return m_pCore; }

private:
    // The linker: a consumer that names its target node is joined to it
    // once both have their port.
    void OnGlobal(uint32_t nId, const char* pszType, const spa_dict* pProps) {
        if (std::strcmp(pszType, PW_TYPE_INTERFACE_Node) == 0) {
            // The target is in the node's own properties, not the global's.
            static const pw_node_events s_events = [] {
                pw_node_events events = {};
                events.version = PW_VERSION_NODE_EVENTS;
                events.info = [](void* p, const pw_node_info* pInfo) {
                    const uint32_t nTarget = Number(pInfo->props, PW_KEY_NODE_TARGET);
                    if (nTarget != SPA_ID_INVALID) {
                        static_cast<CTestPipeWire*>(p)->OnTarget(pInfo->id, nTarget);
                    }
                };
                return events;
            }();
            auto* pNode = static_cast<pw_node*>(
                pw_registry_bind(m_pRegistry, nId, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
            if (pNode == nullptr) {
                return;
            }
            m_vProxies.push_back(reinterpret_cast<pw_proxy*>(pNode));
            m_listNodeHooks.emplace_back();
            pw_node_add_listener(pNode, &m_listNodeHooks.back(), &s_events, this);
        } else if (std::strcmp(pszType, PW_TYPE_INTERFACE_Port) == 0) {
            const char* pszDirection = spa_dict_lookup(pProps, PW_KEY_PORT_DIRECTION);
            const bool bOut = pszDirection != nullptr && std::strcmp(pszDirection, "out") == 0;
            (bOut ? m_mapOutPort : m_mapInPort)[Number(pProps, PW_KEY_NODE_ID)] = nId;
        }
        Link();
    }

    void OnTarget(uint32_t nNode, uint32_t nTarget) {
        m_mapTarget[nNode] = nTarget;
        Link();
    }

    void Link() {
        for (auto it = m_mapTarget.begin(); it != m_mapTarget.end();) {
            const auto in = m_mapInPort.find(it->first);
            const auto out = m_mapOutPort.find(it->second);
            if (in == m_mapInPort.end() || out == m_mapOutPort.end()) {
                ++it;
                continue;
            }
            pw_properties* pLink = pw_properties_new(nullptr, nullptr);
            pw_properties_setf(pLink, PW_KEY_LINK_OUTPUT_NODE, "%u", it->second);
            pw_properties_setf(pLink, PW_KEY_LINK_OUTPUT_PORT, "%u", out->second);
            pw_properties_setf(pLink, PW_KEY_LINK_INPUT_NODE, "%u", it->first);
            pw_properties_setf(pLink, PW_KEY_LINK_INPUT_PORT, "%u", in->second);
            void* pProxy = pw_core_create_object(m_pCore, "link-factory", PW_TYPE_INTERFACE_Link,
                                                 PW_VERSION_LINK, &pLink->dict, 0);
            if (pProxy != nullptr) {
                m_vProxies.push_back(static_cast<pw_proxy*>(pProxy));
            }
            pw_properties_free(pLink);
            it = m_mapTarget.erase(it);
        }
    }

    std::string m_strDir;
    pid_t m_nDaemon = -1;
    pw_thread_loop* m_pLoop = nullptr;
    pw_context* m_pContext = nullptr;
    pw_core* m_pCore = nullptr;
    pw_registry* m_pRegistry = nullptr;
    spa_hook m_registryHook = {};
    // Which node each consumer wants, each node's port.
    std::map<uint32_t, uint32_t> m_mapTarget;
    std::map<uint32_t, uint32_t> m_mapOutPort;
    std::map<uint32_t, uint32_t> m_mapInPort;
    std::list<spa_hook> m_listNodeHooks;
    std::vector<pw_proxy*> m_vProxies;
};

class CTestProducer {
public:
    // Offers nFormat at nWidth x nHeight, with damage metadata when bDamage.
    CTestProducer(CTestPipeWire* pPipeWire, spa_video_format nFormat, int nWidth, int nHeight,
                  bool bDamage)
        : m_pPipeWire(pPipeWire),
          m_nFormat(nFormat),
          m_nWidth(nWidth),
          m_nHeight(nHeight),
          m_bDamage(bDamage),
          m_vPicture(static_cast<size_t>(nWidth) * nHeight * 4, 0) {
        static pw_stream_events s_events = [] {
            pw_stream_events events = {};
            events.version = PW_VERSION_STREAM_EVENTS;
            events.state_changed = [](void* p, pw_stream_state, pw_stream_state state,
                                      const char*) {
                static_cast<CTestProducer*>(p)->OnState(state);
            };
            events.param_changed = [](void* p, uint32_t nId, const spa_pod* pParam) {
                if (nId == SPA_PARAM_Format) {
                    static_cast<CTestProducer*>(p)->OnFormat(pParam);
                }
            };
            events.trigger_done = [](void* p) { static_cast<CTestProducer*>(p)->OnCycle(); };
            return events;
        }();
        pw_thread_loop_lock(m_pPipeWire->Loop());
        m_pStream = pw_stream_new(m_pPipeWire->Core(), "deskvid test screen",
                                  pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", nullptr));
        pw_stream_add_listener(m_pStream, &m_hook, &s_events, this);
        Offer();
        pw_thread_loop_unlock(m_pPipeWire->Loop());
    }
    ~CTestProducer() {
        pw_thread_loop_lock(m_pPipeWire->Loop());
        spa_hook_remove(&m_hook);
        pw_stream_destroy(m_pStream);
        pw_thread_loop_unlock(m_pPipeWire->Loop());
    }

    uint32_t Node() {
        uint32_t nNode = SPA_ID_INVALID;
        for (int i = 0; i < 100 && nNode == SPA_ID_INVALID; ++i) {
            pw_thread_loop_lock(m_pPipeWire->Loop());
            nNode = pw_stream_get_node_id(m_pStream);
            pw_thread_loop_unlock(m_pPipeWire->Loop());
            if (nNode == SPA_ID_INVALID) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        return nNode;
    }

    // Changes the producer's picture in rect, to a pattern seeded by nSeed.
    void Paint(const CRect& rect, int nSeed) {
        const bool bRgb = IsRgb(m_nFormat);
        for (int y = rect.y; y < rect.y + rect.h; ++y) {
            for (int x = rect.x; x < rect.x + rect.w; ++x) {
                uint8_t* p = &m_vPicture[(static_cast<size_t>(y) * m_nWidth + x) * 4];
                const uint8_t b = static_cast<uint8_t>(x * 3 + nSeed * 50);
                const uint8_t r = static_cast<uint8_t>(nSeed * 91 + (x ^ y));
                p[bRgb ? 2 : 0] = b;
                p[1] = static_cast<uint8_t>(y * 5 + nSeed * 20);
                p[bRgb ? 0 : 2] = r;
                p[3] = 255;
            }
        }
    }

    // Sends the picture, with the damage given (none: no damage metadata
    // filled in), its header marked corrupted when bCorrupt, and waits
    // until a cycle of the graph has carried it. False when none did within
    // a few seconds.
    bool Send(const std::vector<CRect>& vDamage, bool bCorrupt = false) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (!m_cv.wait_for(lock, kWait, [this] { return m_bStreaming && m_bAgreed; })) {
                return false;
            }
        }
        m_vDamage = vDamage;
        m_bCorrupt = bCorrupt;
        // A buffer comes free once the consumer has taken the one before.
        bool bQueued = false;
        for (int i = 0; i < 100 && !bQueued; ++i) {
            pw_thread_loop_lock(m_pPipeWire->Loop());
            bQueued = Fill();
            pw_thread_loop_unlock(m_pPipeWire->Loop());
            if (!bQueued) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        // Sent once a cycle of the graph has carried it to the consumer; a
        // cycle asked for while one is running may not happen: ask again.
        std::unique_lock<std::mutex> lock(m_mutex);
        const uint64_t nDone = m_nCycles;
        bool bSent = false;
        for (int i = 0; i < 50 && bQueued && !bSent; ++i) {
            lock.unlock();
            pw_thread_loop_lock(m_pPipeWire->Loop());
            pw_stream_trigger_process(m_pStream);
            pw_thread_loop_unlock(m_pPipeWire->Loop());
            lock.lock();
            bSent = m_cv.wait_for(lock, std::chrono::milliseconds(100),
                                  [&] { return m_nCycles != nDone; });
        }
        return bSent;
    }

    // A new size: the format is agreed again, the picture painted afresh.
    void Resize(int nWidth, int nHeight) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_nWidth = nWidth;
            m_nHeight = nHeight;
            m_bAgreed = false;
            m_vPicture.assign(static_cast<size_t>(nWidth) * nHeight * 4, 0);
        }
        pw_thread_loop_lock(m_pPipeWire->Loop());
        Offer();
        pw_thread_loop_unlock(m_pPipeWire->Loop());
    }

    // The picture's pixel at (x, y) as the consumer should see it: B, G, R.
    uint32_t Expected(int x, int y) const {
        const uint8_t* p = &m_vPicture[(static_cast<size_t>(y) * m_nWidth + x) * 4];
        const bool bRgb = IsRgb(m_nFormat);
        return uint32_t{p[bRgb ? 2 : 0]} | uint32_t{p[1]} << 8 | uint32_t{p[bRgb ? 0 : 2]} << 16;
    }
    int Width() const { return m_nWidth; }
    int Height() const { return m_nHeight; }

    // The highest rate the consumer asked for, once agreed.
    spa_fraction MaxRate() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait_for(lock, kWait, [this] { return m_bAgreed; });
        return m_maxRate;
    }

private:
    // The format as a screen cast offers it: one size, any rate up to 60 a
    // second, the consumer choosing the highest.
    void Offer() {
        uint8_t rgBuffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(rgBuffer, sizeof(rgBuffer));
        spa_rectangle size =
            SPA_RECTANGLE(static_cast<uint32_t>(m_nWidth), static_cast<uint32_t>(m_nHeight));
        spa_fraction rate = SPA_FRACTION(0, 1);
        spa_fraction maxDefault = SPA_FRACTION(60, 1);
        spa_fraction maxMin = SPA_FRACTION(1, 1);
        const spa_pod* pFormat = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
            SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format, SPA_POD_Id(m_nFormat),
            SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate,
            SPA_POD_Fraction(&rate), SPA_FORMAT_VIDEO_maxFramerate,
            SPA_POD_CHOICE_RANGE_Fraction(&maxDefault, &maxMin, &maxDefault)));
        if (pw_stream_get_state(m_pStream, nullptr) == PW_STREAM_STATE_UNCONNECTED) {
            pw_stream_connect(
                m_pStream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
                &pFormat, 1);
        } else {
            pw_stream_update_params(m_pStream, &pFormat, 1);
        }
    }

    void OnFormat(const spa_pod* pParam) {
        spa_video_info_raw info = {};
        if (pParam == nullptr || spa_format_video_raw_parse(pParam, &info) < 0) {
            return;
        }
        const int nStride = m_nWidth * 4;
        uint8_t rgBuffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(rgBuffer, sizeof(rgBuffer));
        const spa_pod* rgParams[3];
        rgParams[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
            SPA_PARAM_BUFFERS_size, SPA_POD_Int(nStride * m_nHeight), SPA_PARAM_BUFFERS_stride,
            SPA_POD_Int(nStride)));
        rgParams[1] = static_cast<const spa_pod*>(
            spa_pod_builder_add_object(&builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
                                       SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
                                       SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
        rgParams[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
            SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
            SPA_POD_CHOICE_RANGE_Int(sizeof(spa_meta_region) * 16, sizeof(spa_meta_region),
                                     sizeof(spa_meta_region) * 16)));
        pw_stream_update_params(m_pStream, rgParams, m_bDamage ? 3 : 2);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_maxRate = info.max_framerate;
        m_bAgreed = static_cast<int>(info.size.width) == m_nWidth &&
                    static_cast<int>(info.size.height) == m_nHeight;
        m_cv.notify_all();
    }

    void OnState(pw_stream_state state) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStreaming = state == PW_STREAM_STATE_STREAMING;
        m_cv.notify_all();
    }

    void OnCycle() {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_nCycles;
        m_cv.notify_all();
    }

    // Fills and queues one buffer, with the loop locked.
    bool Fill() {
        pw_buffer* pBuffer = pw_stream_dequeue_buffer(m_pStream);
        if (pBuffer == nullptr) {
            return false;
        }
        spa_buffer* pSpa = pBuffer->buffer;
        spa_data& data = pSpa->datas[0];
        const size_t nBytes = m_vPicture.size();
        if (data.data != nullptr && data.maxsize >= nBytes) {
            std::memcpy(data.data, m_vPicture.data(), nBytes);
            data.chunk->offset = 0;
            data.chunk->size = static_cast<uint32_t>(nBytes);
            data.chunk->stride = m_nWidth * 4;
        }
        if (auto* pHeader = static_cast<spa_meta_header*>(
                spa_buffer_find_meta_data(pSpa, SPA_META_Header, sizeof(spa_meta_header)))) {
            pHeader->flags = m_bCorrupt ? SPA_META_HEADER_FLAG_CORRUPTED : 0;
        }
        if (spa_meta* pMeta = spa_buffer_find_meta(pSpa, SPA_META_VideoDamage)) {
            auto* pRegions = static_cast<spa_meta_region*>(pMeta->data);
            const size_t nRoom = pMeta->size / sizeof(spa_meta_region);
            size_t i = 0;
            for (; i < m_vDamage.size() && i + 1 < nRoom; ++i) {
                const CRect& r = m_vDamage[i];
                pRegions[i].region =
                    SPA_REGION(r.x, r.y, static_cast<uint32_t>(r.w), static_cast<uint32_t>(r.h));
            }
            pRegions[i].region = SPA_REGION(0, 0, 0, 0);
        }
        pw_stream_queue_buffer(m_pStream, pBuffer);
        return true;
    }

    CTestPipeWire* m_pPipeWire;
    spa_video_format m_nFormat;
    int m_nWidth;
    int m_nHeight;
    bool m_bDamage;
    pw_stream* m_pStream = nullptr;
    spa_hook m_hook = {};
    std::vector<uint8_t> m_vPicture;  // in the stream's format
    // What the next buffer carries besides the picture.
    std::vector<CRect> m_vDamage;
    bool m_bCorrupt = false;

    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bStreaming = false;
    bool m_bAgreed = false;
    spa_fraction m_maxRate = {0, 1};
    uint64_t m_nCycles = 0;  // cycles of the graph this producer drove
};

}  // namespace testpw
