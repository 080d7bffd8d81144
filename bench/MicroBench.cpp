// The helper's hot paths on the simulated platform, one operation per iteration.

#include <benchmark/benchmark.h>

#include "Harness.h"
#include "common/Text.h"
#include "diagnostics/Diagnostics.h"
#include "observer/SelectionObserver.h"
#include "protocol/Message.h"

namespace glimwick::sim {
namespace {

// A helper monitoring TextEdit, whose text area holds a selection, after its first tick.
struct Monitored {
    Monitored() {
        helper.launch();
        helper.selectInTextApp("a selection that stays the same", Rect{100, 200, 240, 16});
        helper.startMonitoring();
        helper.advance(0.4);
        helper.sim.stopRecording();
        observer = helper.service().selectionObserver().get();
    }
    Harness helper;
    SelectionObserver* observer = nullptr;
};

void PollTickUnchanged(benchmark::State& state) {
    Monitored m;
    for (auto _ : state) {
        m.observer->pollTick();
    }
}
BENCHMARK(PollTickUnchanged);

// The simulated platform's own share of a poll tick: the same answers, asked directly.
void PollTickPlatformAnswers(benchmark::State& state) {
    Monitored m;
    SimPlatform& sim = m.helper.sim;
    for (auto _ : state) {
        benchmark::DoNotOptimize(sim.workspace.frontmostApplication());
        auto focused =
            sim.desktop.copyAttributeValue(sim.desktop.createSystemWide(), "AXFocusedUIElement");
        const auto& element = std::get<ax::ElementRef>(*focused.value);
        benchmark::DoNotOptimize(sim.desktop.copyAttributeValue(element, "AXSelectedText"));
        auto range = sim.desktop.copyAttributeValue(element, "AXSelectedTextRange");
        benchmark::DoNotOptimize(
            sim.desktop.copyParameterizedAttributeValue(element, "AXBoundsForRange", *range.value));
    }
}
BENCHMARK(PollTickPlatformAnswers);

void EvaluateNewSelection(benchmark::State& state) {
    Monitored m;
    bool flip = false;
    for (auto _ : state) {
        // Each reading is new: the midpoint moves between two places.
        state.PauseTiming();
        flip = !flip;
        m.helper.sim.desktop.setSelection(m.helper.textA, "a selection that moves",
                                          ax::Range{0, 22},
                                          Rect{100, flip ? 200.0 : 300.0, 240, 16});
        state.ResumeTiming();
        m.observer->evaluateSelection();
    }
}
BENCHMARK(EvaluateNewSelection);

void PostDiagnostic(benchmark::State& state) {
    SimPlatform sim;
    sim.stopRecording();
    Platform platform = sim.platform();
    for (auto _ : state) {
        postDiagnostic(
            platform,
            "startMonitoring权限检查: axTrusted=true axDirect=true granted=true axError=0");
    }
}
BENCHMARK(PostDiagnostic);

std::string textOf(std::int64_t bytes) {
    std::string text;
    text.reserve(static_cast<size_t>(bytes));
    const std::string piece = "Glimwick 选区 👍🏽 text, ";
    while (static_cast<std::int64_t>(text.size()) + static_cast<std::int64_t>(piece.size()) <=
           bytes) {
        text += piece;
    }
    text.append(static_cast<size_t>(bytes) - text.size(), 'x');
    return text;
}

void TextPrefix20(benchmark::State& state) {
    std::string text = textOf(state.range(0));
    TextSegmenter segmenter;
    for (auto _ : state) {
        benchmark::DoNotOptimize(segmenter.prefix(text, 20));
    }
}
BENCHMARK(TextPrefix20)->Arg(100)->Arg(1 << 20)->Arg(10 << 20);

void Signature(benchmark::State& state) {
    std::string text = textOf(state.range(0));
    TextSegmenter segmenter;
    for (auto _ : state) {
        benchmark::DoNotOptimize(canonicalHash(segmenter.prefix(text, 20)));
    }
}
BENCHMARK(Signature)->Arg(100)->Arg(1 << 20)->Arg(10 << 20);

void CountCharacters(benchmark::State& state) {
    std::string text = textOf(state.range(0));
    TextSegmenter segmenter;
    for (auto _ : state) {
        benchmark::DoNotOptimize(segmenter.count(text));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(CountCharacters)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

void DecodeArguments(benchmark::State& state) {
    Notification command{
        "com.corvala.helper.shutdownRedundant",
        std::string(
            R"({"expectedBundlePath":"/Applications/Corvala.app/Contents/Helpers/Glimwick.app","keepPID":48213})")};
    for (auto _ : state) {
        benchmark::DoNotOptimize(decodeArguments(command));
    }
}
BENCHMARK(DecodeArguments);

}  // namespace
}  // namespace glimwick::sim

BENCHMARK_MAIN();
