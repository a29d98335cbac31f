// What a grab of the X11 screen source costs at 1920x1080 on an Xvfb of its
// own: an idle screen, a small change (a 64x64 square), and a change of the
// whole screen. Prints microseconds per grab.
#include <cstdio>
#include <ctime>

#include "engine/core/Clock.h"
#include "engine/linux/screen/X11Source.h"
#include "tests/linux/x11/XvfbServer.h"

namespace {

using dvengine::MonotonicUs;
constexpr int64_t kSecond = 1000000;

// Grabs nCount times, after bChange(i) each time; the grab alone is timed.
template <typename F>
double UsPerGrab(dvengine::IScreenSource* pSource, int nCount, F bChange) {
    dvengine::CScreenFrame frame;
    int64_t nTotalUs = 0;
    for (int i = 0; i < nCount; ++i) {
        if (bChange(i)) {
            pSource->WaitForChange(MonotonicUs() + kSecond);
        }
        int64_t nStartUs = MonotonicUs();
        if (pSource->Grab(MonotonicUs() + 5 * kSecond, &frame) != S_OK) {
            return -1;
        }
        nTotalUs += MonotonicUs() - nStartUs;
    }
    return static_cast<double>(nTotalUs) / nCount;
}

}  // namespace

int main() {
    dvtest::CXvfb xvfb("1920x1080x24");
    if (!xvfb.Ok()) {
        fprintf(stderr, "bench_x11: Xvfb did not start\n");
        return 1;
    }
    dvtest::CClient client(xvfb.Display());
    auto pSource = dvengine::CreateX11Source(xvfb.Display());
    if (pSource->Start(MonotonicUs() + 2 * kSecond) != S_OK) {
        fprintf(stderr, "bench_x11: the source did not start\n");
        return 1;
    }
    double nFirst = UsPerGrab(pSource.get(), 1, [](int) { return false; });
    double nIdle = UsPerGrab(pSource.get(), 2000, [](int) { return false; });
    double nSmall = UsPerGrab(pSource.get(), 300, [&](int i) {
        client.Fill({(i * 97) % 1800, (i * 61) % 1000, 64, 64}, 0x102030u * (i & 7));
        return true;
    });
    double nWhole = UsPerGrab(pSource.get(), 100, [&](int i) {
        client.Fill({0, 0, 1920, 1080}, (i & 1) ? 0xffffffu : 0x404040u);
        return true;
    });
    printf("X11 source grab at 1920x1080 (MIT-SHM), microseconds per grab:\n");
    printf(
        "  first (whole) %8.0f\n  idle          %8.1f\n  64x64 change  %8.1f\n"
        "  whole change  %8.1f\n",
        nFirst, nIdle, nSmall, nWhole);
    return 0;
}
