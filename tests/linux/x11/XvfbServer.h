// Test servers for the X11 screen source: an Xvfb of the caller's own, and a
// second client of it that draws, moves the pointer and resizes the screen.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "engine/core/ScreenSource.h"

namespace dvtest {

using dvengine::CRect;

// An Xvfb with a black root, ended (woken first, if stopped) with the test.
class CXvfb {
public:
    // pszSize: WxHxDepth; pszOption: one more option, such as "-extension"
    // "MIT-SHM" (null: none).
    explicit CXvfb(const char* pszSize = "640x480x24", const char* pszOption = nullptr,
                   const char* pszValue = nullptr) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return;
        }
        const char* rgArg[] = {"Xvfb",    "-displayfd", "3",         "-screen", "0",
                               pszSize,   "-br",        "-nolisten", "tcp",     "-noreset",
                               pszOption, pszValue,     nullptr};
        // The server dies with this process, even one that a sanitizer ends.
        pid_t nParent = getpid();
        m_pid = fork();
        if (m_pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            int fdNull = open("/dev/null", O_WRONLY);
            if (getppid() != nParent || fdNull < 0 || dup2(fdNull, 1) < 0 || dup2(fdNull, 2) < 0 ||
                (fds[1] == 3 ? fcntl(3, F_SETFD, 0) : dup2(fds[1], 3)) < 0) {
                _exit(127);
            }
            execvp("Xvfb", const_cast<char**>(rgArg));
            _exit(127);
        }
        close(fds[1]);
        std::string strNumber;
        char ch = 0;
        pollfd pfd = {fds[0], POLLIN, 0};
        while (m_pid > 0 && poll(&pfd, 1, 10000) > 0 && read(fds[0], &ch, 1) == 1 && ch != '\n') {
            strNumber += ch;
        }
        close(fds[0]);
        if (!strNumber.empty()) {
            m_strDisplay = ":" + strNumber;
        }
    }
    ~CXvfb() {
        if (m_pid > 0) {
            kill(m_pid, SIGCONT);
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }
    bool Ok() const { return !m_strDisplay.empty(); }
    const char* Display() const { return m_strDisplay.c_str(); }
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = 0;
    std::string m_strDisplay;
};

// Another client of the display: draws, moves the pointer, resizes the
// screen, holds the server grabbed.
class CClient {
public:
    explicit CClient(const char* pszDisplay) : m_pConn(xcb_connect(pszDisplay, nullptr)) {
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_pConn)).data->root;
    }
    ~CClient() { xcb_disconnect(m_pConn); }

    void Fill(const CRect& rc, uint32_t nRgb) {
        xcb_gcontext_t gc = xcb_generate_id(m_pConn);
        uint32_t rgValue[] = {nRgb, XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS};
        xcb_create_gc(m_pConn, gc, m_root, XCB_GC_FOREGROUND | XCB_GC_SUBWINDOW_MODE, rgValue);
        xcb_rectangle_t r = {static_cast<int16_t>(rc.x), static_cast<int16_t>(rc.y),
                             static_cast<uint16_t>(rc.w), static_cast<uint16_t>(rc.h)};
        xcb_poly_fill_rectangle(m_pConn, m_root, gc, 1, &r);
        xcb_free_gc(m_pConn, gc);
        Sync();
    }
    // Holds the server for this client alone, as a screenshot tool does while
    // it reads the screen; false lets it go.
    void GrabServer(bool bGrab) {
        bGrab ? xcb_grab_server(m_pConn) : xcb_ungrab_server(m_pConn);
        Sync();
    }
    void Warp(int x, int y) {
        xcb_warp_pointer(m_pConn, XCB_NONE, m_root, 0, 0, 0, 0, static_cast<int16_t>(x),
                         static_cast<int16_t>(y));
        Sync();
    }
    // Xvfb resizes within its initial size through a mode of the wanted size
    // on its one output.
    bool Resize(int w, int h) {
        auto* pRes = xcb_randr_get_screen_resources_reply(
            m_pConn, xcb_randr_get_screen_resources(m_pConn, m_root), nullptr);
        if (!pRes || pRes->num_crtcs < 1 || pRes->num_outputs < 1) {
            free(pRes);
            return false;
        }
        xcb_randr_crtc_t crtc = xcb_randr_get_screen_resources_crtcs(pRes)[0];
        xcb_randr_output_t output = xcb_randr_get_screen_resources_outputs(pRes)[0];
        xcb_randr_mode_t mode = 0;
        xcb_randr_mode_info_t* pModes = xcb_randr_get_screen_resources_modes(pRes);
        for (int i = 0; i < pRes->num_modes; ++i) {
            if (pModes[i].width == w && pModes[i].height == h) {
                mode = pModes[i].id;
            }
        }
        free(pRes);
        // Growing: the screen first, then the output; shrinking: the other
        // way round (the first attempt then fails, and is harmless).
        xcb_randr_set_screen_size(m_pConn, m_root, static_cast<uint16_t>(w),
                                  static_cast<uint16_t>(h), 100, 100);
        if (!mode) {
            std::string strName = std::to_string(w) + "x" + std::to_string(h);
            xcb_randr_mode_info_t info = {};
            info.width = static_cast<uint16_t>(w);
            info.height = static_cast<uint16_t>(h);
            info.dot_clock = static_cast<uint32_t>(w * h * 60);
            info.htotal = info.width;
            info.vtotal = info.height;
            info.name_len = static_cast<uint16_t>(strName.size());
            auto* pMode = xcb_randr_create_mode_reply(
                m_pConn,
                xcb_randr_create_mode(m_pConn, m_root, info, info.name_len, strName.c_str()),
                nullptr);
            mode = pMode ? pMode->mode : 0;
            free(pMode);
            xcb_randr_add_output_mode(m_pConn, output, mode);
        }
        auto* pSet = xcb_randr_set_crtc_config_reply(
            m_pConn,
            xcb_randr_set_crtc_config(m_pConn, crtc, XCB_CURRENT_TIME, XCB_CURRENT_TIME, 0, 0, mode,
                                      XCB_RANDR_ROTATION_ROTATE_0, 1, &output),
            nullptr);
        bool bOk = mode && pSet && pSet->status == XCB_RANDR_SET_CONFIG_SUCCESS;
        free(pSet);
        xcb_generic_error_t* pError = xcb_request_check(
            m_pConn, xcb_randr_set_screen_size_checked(m_pConn, m_root, static_cast<uint16_t>(w),
                                                       static_cast<uint16_t>(h), 100, 100));
        bOk = bOk && !pError;
        free(pError);
        return bOk;
    }

    // Sets the monitors of RandR 1.5 (named M0, M1, ...) to the rectangles,
    // through xrandr; false where that cannot be done.
    bool SetMonitors(const char* pszDisplay, const std::vector<CRect>& vMonitors) {
        for (size_t i = 0; i < vMonitors.size(); ++i) {
            const CRect& rc = vMonitors[i];
            std::string strCommand = "xrandr -d " + std::string(pszDisplay) + " --setmonitor M" +
                                     std::to_string(i) + " " + std::to_string(rc.w) + "/300x" +
                                     std::to_string(rc.h) + "/200+" + std::to_string(rc.x) + "+" +
                                     std::to_string(rc.y) + " none >/dev/null 2>&1";
            if (std::system(strCommand.c_str()) != 0) {
                return false;
            }
        }
        auto* pReply = xcb_randr_get_monitors_reply(
            m_pConn, xcb_randr_get_monitors(m_pConn, m_root, 0), nullptr);
        bool bOk = pReply && pReply->nMonitors >= vMonitors.size();
        free(pReply);
        return bOk;
    }

private:
    void Sync() { free(xcb_get_input_focus_reply(m_pConn, xcb_get_input_focus(m_pConn), nullptr)); }

    xcb_connection_t* m_pConn;
    xcb_window_t m_root = 0;
};

}  // namespace dvtest
