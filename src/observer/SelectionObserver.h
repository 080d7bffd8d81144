#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/Text.h"
#include "diagnostics/Diagnostics.h"
#include "observer/SelectionSnapshot.h"
#include "platform/Platform.h"

namespace glimwick {

// Follows the focused application, binds an accessibility observer for selection changes to it
// (or polls it when it refuses), and turns readings of the selection into changed and cleared
// events. Created shared so that its timer, delayed checks and notification context can hold
// it weakly.
class SelectionObserver : public std::enable_shared_from_this<SelectionObserver> {
public:
    using ChangedCallback = std::function<void(const std::string& text, const Rect& rect)>;
    using ClearedCallback = std::function<void()>;  // empty when absent

    static constexpr double focusPollInterval = 0.4;
    static constexpr double minRebindInterval = 0.35;
    static constexpr double debounceInterval = 0.2;
    static constexpr std::int64_t emptySelectionHideThreshold = 2;

    static std::shared_ptr<SelectionObserver> create(const Platform& platform, Pid ownerPID,
                                                     ChangedCallback onSelectionChanged,
                                                     ClearedCallback onSelectionCleared);
    ~SelectionObserver();
    SelectionObserver(const SelectionObserver&) = delete;
    SelectionObserver& operator=(const SelectionObserver&) = delete;

    // Lifecycle and focus tracking.
    void start();
    void stop();
    void startFocusPolling();
    void checkFocusChange();
    void pollTick();
    void bindObserver(Pid pid);
    void unbindObserver();
    static void axObserverCallback(MainQueue& queue, ax::Observer& observer,
                                   const ax::ElementRef& element, const std::string& notification,
                                   const ax::Context& context);
    void handleAXNotification(const std::string& name);
    void scheduleDebouncedCheck();
    Pid focusedAppPID();

    // Reading.
    std::optional<SelectionSnapshot> readSelection();
    std::optional<std::string> readSelectedText(const ax::ElementRef& element,
                                                std::optional<ax::Value>& rangeSlot);

    // Validation and change detection.
    void evaluateSelection();
    void clearSelection(const std::string& reason);
    bool isFocusedElementExcluded();

    void log(LogLevel level, std::string_view message);

    const Pid ownerPID;

    // The run state, and the tick count (a figure for the benchmarks).
    bool isRunning() const { return isRunning_; }
    std::int64_t pollCount() const { return pollCount_; }

private:
    SelectionObserver(const Platform& platform, Pid ownerPID, ChangedCallback onSelectionChanged,
                      ClearedCallback onSelectionCleared);

    // prefix: the first 20 characters of the snapshot's text.
    std::string signatureOf(const SelectionSnapshot& snapshot);

    Platform platform_;
    TextSegmenter text_;

    const ChangedCallback onSelectionChanged_;
    const ClearedCallback onSelectionCleared_;
    std::unique_ptr<ax::Observer> observer_;
    Pid observedAppPID_ = 0;
    bool isRunning_ = false;
    std::optional<ScheduledWork> focusPollTimer_;
    double lastRebindTime_ = 0;
    Pid pollOnlyPID_ = 0;
    std::optional<ScheduledWork> debounceWorkItem_;
    std::string lastSelectionSignature_;
    std::int64_t emptySelectionStreak_ = 0;
    std::string lastClearReason_;
    std::int64_t pollCount_ = 0;
    std::int64_t axFailCount_ = 0;
};

}  // namespace glimwick
