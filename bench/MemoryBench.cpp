// 100,000 poll ticks on the simulated platform with the selection changing every tenth tick:
// resident memory must stay flat once the first thousand ticks have warmed everything up.
// Run it under valgrind (bench/run.sh does) to see that nothing leaks.

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "Harness.h"
#include "observer/SelectionObserver.h"

namespace {

long residentKiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0;
    long resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace

int main(int argc, char** argv) {
    long ticks = argc > 1 ? std::stol(argv[1]) : 100000;
    glimwick::sim::Harness helper;
    helper.launch();
    helper.selectInTextApp("first selection", glimwick::Rect{10, 10, 100, 14});
    helper.startMonitoring();
    helper.sim.stopRecording();

    long warm = 0;
    long peak = 0;
    for (long tick = 1; tick <= ticks; ++tick) {
        if (tick % 10 == 0) {
            std::string text = "selection number " + std::to_string(tick);
            helper.sim.desktop.setSelection(
                helper.textA, text, glimwick::ax::Range{0, static_cast<int64_t>(text.size())},
                glimwick::Rect{10, static_cast<double>(tick % 500), 100, 14});
        }
        helper.advance(0.4);
        if (tick == 1000) {
            warm = residentKiB();
        }
        if (tick > 1000) {
            peak = std::max(peak, residentKiB());
        }
    }
    long end = residentKiB();
    std::printf("| ticks | %ld |\n| resident after 1,000 ticks | %ld KiB |\n", ticks, warm);
    std::printf("| resident at the end | %ld KiB |\n| peak after 1,000 ticks | %ld KiB |\n", end,
                peak);
    std::printf("| growth after warm-up | %ld KiB |\n", peak - warm);
    std::printf("| poll count | %lld |\n",
                static_cast<long long>(helper.service().selectionObserver()->pollCount()));
    return 0;
}
