// A PulseAudio server of a test's own.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/common/HostTest.h"

// A PulseAudio server of the test's own on a private socket, so that it can be
// frozen without disturbing anyone else; by default its one source is a null
// sink's monitor, or it loads the modules given ("-L" arguments).
// Should the test die without stopping it, it ends 10 s after its last client.
class CPrivateServer {
public:
    bool Start(std::vector<std::string> rgstrModules = {
                   "module-null-sink sink_name=test_null rate=48000"}) {
        m_rgstrModules = rgstrModules;
        m_strSocket = m_dir.File("native");
        std::vector<std::string> rgstrArgs = {"pulseaudio",        "-n",
                                              "--daemonize=no",    "--exit-idle-time=10",
                                              "--disable-shm=yes", "--use-pid-file=no"};
        rgstrModules.push_back("module-native-protocol-unix auth-anonymous=1 socket=" +
                               m_strSocket);
        for (const std::string& strModule : rgstrModules) {
            rgstrArgs.push_back("-L");
            rgstrArgs.push_back(strModule);
        }
        const bool bStarted =
            m_proc.Start(rgstrArgs, {"XDG_RUNTIME_DIR=" + m_dir.Path(), "HOME=" + m_dir.Path()});
        for (int i = 0; bStarted && i < 50; ++i) {
            if (Control({"info"}) == 0) {
                return true;
            }
            usleep(100000);
        }
        return false;
    }
    int Control(const std::vector<std::string>& rgstrArgs) const {
        std::vector<std::string> rgstrCommand = {"pactl", "--server=" + Address()};
        rgstrCommand.insert(rgstrCommand.end(), rgstrArgs.begin(), rgstrArgs.end());
        return testproc::RunToEnd(rgstrCommand, 10).nExit;
    }
    ~CPrivateServer() {
        m_proc.Signal(SIGCONT);
        m_proc.Signal(SIGTERM);
        m_proc.Wait(5);
    }
    std::string Address() const { return "unix:" + m_strSocket; }
    void Freeze() { m_proc.Signal(SIGSTOP); }
    void Thaw() { m_proc.Signal(SIGCONT); }
    // Ends it as a crash would, leaving its socket behind.
    void Kill() {
        m_proc.Signal(SIGKILL);
        m_proc.Wait(5);
    }
    // A new server with the same modules, on the same socket.
    bool Restart() { return Start(m_rgstrModules); }

private:
    testproc::CTempDir m_dir;
    hostlib::CChildProcess m_proc;
    std::string m_strSocket;
    std::vector<std::string> m_rgstrModules;
};
