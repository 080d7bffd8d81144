// The helper as a whole process on a private desktop (Xvfb, session bus, accessibility bus,
// openbox, GTK fixture windows): idle cost, selection latency on both paths, ping throughput.
// Prints Markdown rows.

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "TestDesktop.h"

using namespace glimwick::testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    int idleSeconds = 60;
    int selections = 50;
    int pings = 10000;
};

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "stack bench: %s\n", why.c_str());
    std::exit(1);
}

// CPU time of a process's threads in seconds, to the nanosecond: the scheduler's own count.
// /proc/PID/stat counts clock ticks of 10 ms, a third of what 0.05 % of a minute allows.
double cpuSeconds(pid_t pid) {
    std::int64_t nanoseconds = 0;
    std::error_code error;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream schedstat(task.path() / "schedstat");
        std::int64_t onCpu = 0;
        if (schedstat >> onCpu) {
            nanoseconds += onCpu;
        }
    }
    return static_cast<double>(nanoseconds) / 1e9;
}

struct IdleCalls {
    int seconds = 0;  // 0: not counted (no strace)
    long dbus = 0;    // messages sent (sendmsg): the accessibility and session buses
    long x11 = 0;     // requests written to the X server (writev)
};

void sleepFor(std::chrono::milliseconds span);

// The helper's calls to other processes over seconds of idle, counted by strace.
IdleCalls countIdleCalls(pid_t pid, const std::map<std::string, std::string>& env, int seconds) {
    ChildProcess strace(
        {"strace", "-f", "-qq", "-c", "-e", "trace=sendmsg,writev", "-p", std::to_string(pid)},
        env);
    if (!strace.started()) {
        return {};
    }
    sleepFor(std::chrono::seconds(seconds));
    strace.kill(SIGINT);
    strace.waitForExit(std::chrono::seconds(10));
    IdleCalls calls{seconds, 0, 0};
    std::istringstream table(strace.stderrText());
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::vector<std::string> words{std::istream_iterator<std::string>(fields), {}};
        if (words.size() < 5 || !std::isdigit(static_cast<unsigned char>(words[3][0]))) {
            continue;
        }
        long count = std::stol(words[3]);
        if (words.back() == "sendmsg") {
            calls.dbus = count;
        } else if (words.back() == "writev") {
            calls.x11 = count;
        }
    }
    return calls;
}

void sleepFor(std::chrono::milliseconds span) {
    auto until = Clock::now() + span;
    waitUntil([&] { return Clock::now() >= until; }, span + 1s);
}

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

struct Percentiles {
    double median;
    double p95;
};

Percentiles percentiles(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    auto at = [&](double q) {
        size_t index = static_cast<size_t>(std::ceil(q * static_cast<double>(values.size()))) - 1;
        return values[std::min(index, values.size() - 1)];
    };
    return {at(0.5), at(0.95)};
}

Clock::time_point receivedAt(const BusClient& client, const std::string& context) {
    for (const auto& event : client.events) {
        if (event.name == "com.corvala.app.diagnostics" && event.payload.is_object() &&
            event.payload.value("context", "") == context) {
            return event.received;
        }
    }
    return Clock::time_point{};
}

// Selections in the view that differ from each one before.
const std::vector<std::pair<int, int>> kPassages = {{0, 8},   {9, 16},  {17, 20}, {21, 25},
                                                    {26, 29}, {30, 36}, {42, 47}, {48, 53},
                                                    {54, 57}, {58, 63}};

// Latency from making each selection to its selectionChanged. phase(i) gives how long after a
// poll tick selection i is made.
std::vector<double> measureLatency(BusClient& client, FixtureWindow& window,
                                   Clock::time_point ticks, int count,
                                   const std::function<double(int)>& phase) {
    std::vector<double> latencies;
    for (int i = 0; i < count; ++i) {
        // Wait for the chosen moment within the 0.4 s tick period.
        double since = std::chrono::duration<double>(Clock::now() - ticks).count();
        double next = std::floor(since / 0.4) * 0.4 + 0.4 + phase(i);
        sleepFor(std::chrono::milliseconds(static_cast<long>((next - since) * 1000)));
        auto [start, end] = kPassages[static_cast<size_t>(i) % kPassages.size()];
        size_t before = client.countOf("com.corvala.app.selectionChanged");
        auto made = Clock::now();
        if (!window.command("select view " + std::to_string(start) + " " + std::to_string(end))) {
            fail("the fixture did not select");
        }
        if (!client.waitForEvent("com.corvala.app.selectionChanged", before + 1, 5s)) {
            fail("no selectionChanged for selection " + std::to_string(i));
        }
        latencies.push_back(
            ms(client.eventsNamed("com.corvala.app.selectionChanged").back().received - made));
    }
    return latencies;
}

struct Throughput {
    double perSecond;
    long lost;
};

Throughput pingThroughput(BusClient& client, int pings) {
    size_t before = client.countOf("com.corvala.app.pong");
    auto start = Clock::now();
    for (int i = 0; i < pings; ++i) {
        g_dbus_connection_emit_signal(client.connection(), nullptr, "/", "com.corvala.helper",
                                      "ping", nullptr, nullptr);
    }
    g_dbus_connection_flush_sync(client.connection(), nullptr, nullptr);
    client.waitForEvent("com.corvala.app.pong", before + static_cast<size_t>(pings), 120s);
    // Anything still on its way has had time to arrive.
    sleepFor(500ms);
    auto pongs = client.eventsNamed("com.corvala.app.pong");
    long received = static_cast<long>(pongs.size() - before);
    double seconds = std::chrono::duration<double>(pongs.back().received - start).count();
    return {received / seconds, pings - received};
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        int value = std::stoi(argv[i + 1]);
        if (name == "--idle-seconds") {
            options.idleSeconds = value;
        } else if (name == "--selections") {
            options.selections = value;
        } else if (name == "--pings") {
            options.pings = value;
        }
    }

    TestDesktop desktop;
    if (auto failed =
            desktop.start({.display = true, .accessibility = true, .windowManager = true});
        !failed.empty()) {
        fail(failed);
    }
    auto env = desktop.environment();
    BusClient client;
    if (auto failed = client.connect(desktop.busAddress()); !failed.empty()) {
        fail(failed);
    }

    FixtureWindow loud({GLIMWICK_FIXTURE_PATH, "Bench notifications"}, env);
    if (!loud.ready() || !loud.activate(env)) {
        fail("fixture window: " + loud.startFailure());
    }
    ChildProcess helper({GLIMWICK_HELPER_PATH}, env);
    if (!client.waitForDiagnostic("启动", 20s)) {
        fail("helper did not start: " + helper.stderrText());
    }
    client.post("com.corvala.helper.startMonitoring",
                "{\"appPID\": " + std::to_string(getpid()) + "}");
    if (!client.waitForDiagnostic(
            "Observer: Observer bound to pid=" + std::to_string(loud.pid()) + ", subscribed=1/1",
            20s)) {
        fail("monitoring did not start: " + helper.stdoutText());
    }
    // The poll timer starts with the observer; its ticks fall every 0.4 s from there.
    Clock::time_point ticks = receivedAt(client, "Observer: SelectionObserver started");

    // Idle: a selection held still.
    if (!loud.command("select view 64 75") ||
        !client.waitForEvent("com.corvala.app.selectionChanged", 1, 10s)) {
        fail("first selection not reported");
    }
    // Beside it, over the same time, the floor: a bare main loop woken as often.
    ChildProcess reference({GLIMWICK_ECHO_PATH, "--tick"}, env);
    if (!waitUntil([&] { return reference.stdoutText() == "ready\n"; }, 20s)) {
        fail("echo client did not start");
    }
    double cpuBefore = cpuSeconds(helper.pid());
    double referenceBefore = cpuSeconds(reference.pid());
    long rssStart = residentKiB(helper.pid());
    auto idleStart = Clock::now();
    sleepFor(std::chrono::seconds(options.idleSeconds));
    double idleWall = std::chrono::duration<double>(Clock::now() - idleStart).count();
    double cpuShare = (cpuSeconds(helper.pid()) - cpuBefore) / idleWall * 100;
    double referenceShare = (cpuSeconds(reference.pid()) - referenceBefore) / idleWall * 100;
    reference.kill(SIGKILL);
    reference.waitForExit(10s);
    long rssEnd = residentKiB(helper.pid());
    // Then the calls to other processes, apart, as tracing costs CPU of its own.
    IdleCalls calls = countIdleCalls(helper.pid(), env, options.idleSeconds / 3);

    // Notification path: each selection made 0.1 s after a tick, so that the debounced check
    // (0.2 s later) comes before the next tick.
    auto notified = percentiles(
        measureLatency(client, loud, ticks, options.selections, [](int) { return 0.1; }));

    // Poll path: a window whose text never announces selection changes; selections spread
    // evenly over the tick period.
    FixtureWindow silent({GLIMWICK_FIXTURE_PATH, "Bench polling", "--silent-selection"}, env);
    if (!silent.ready() || !silent.activate(env) ||
        !client.waitForDiagnostic(
            "Observer: Observer bound to pid=" + std::to_string(silent.pid()) + ", subscribed=1/1",
            20s)) {
        fail("second window not bound");
    }
    int n = options.selections;
    auto polled =
        percentiles(measureLatency(client, silent, ticks, n, [n](int i) { return 0.4 * i / n; }));

    client.post("com.corvala.helper.stopMonitoring", std::nullopt);
    client.roundTrip();
    Throughput helperPings = pingThroughput(client, options.pings);
    long rssAfterPings = residentKiB(helper.pid());
    helper.kill(SIGKILL);
    helper.waitForExit(10s);

    ChildProcess echo({GLIMWICK_ECHO_PATH}, env);
    if (!waitUntil([&] { return echo.stdoutText() == "ready\n"; }, 20s)) {
        fail("echo client did not start");
    }
    Throughput echoPings = pingThroughput(client, options.pings);

    std::printf("| idle CPU, monitoring on, selection held %d s | %.3f %% of one core |\n",
                options.idleSeconds, cpuShare);
    std::printf(
        "| the same time, a bare GLib main loop with a 0.4 s timer | %.3f %% of one core |\n",
        referenceShare);
    if (calls.seconds > 0) {
        double ticks = calls.seconds / 0.4;
        std::printf(
            "| calls to other processes per idle tick (strace, %d s) | %.2f: %.2f D-Bus "
            "messages, %.2f X11 requests |\n",
            calls.seconds, (calls.dbus + calls.x11) / ticks, calls.dbus / ticks, calls.x11 / ticks);
    }
    std::printf("| resident memory at the start of idle / at its end | %.1f MB / %.1f MB |\n",
                rssStart / 1024.0, rssEnd / 1024.0);
    std::printf("| latency, notification path (%d selections) | median %.1f ms, p95 %.1f ms |\n",
                options.selections, notified.median, notified.p95);
    std::printf("| latency, poll path (%d selections) | median %.1f ms, p95 %.1f ms |\n",
                options.selections, polled.median, polled.p95);
    std::printf("| pings answered by the helper (%d sent) | %.0f per second, %ld lost |\n",
                options.pings, helperPings.perSecond, helperPings.lost);
    std::printf("| pings answered by a bare GDBus echo client | %.0f per second, %ld lost |\n",
                echoPings.perSecond, echoPings.lost);
    std::printf("| helper throughput / echo baseline | %.0f %% |\n",
                helperPings.perSecond / echoPings.perSecond * 100);
    std::printf("| resident memory after the pings | %.1f MB |\n", rssAfterPings / 1024.0);
    return 0;
}
