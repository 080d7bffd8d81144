#include "observer/SelectionObserver.h"

#include <algorithm>
#include <array>

#include "diagnostics/Messages.h"

namespace glimwick {

namespace {

constexpr std::array<const char*, 1> kSubscriptions = {ax::kAXSelectedTextChangedNotification};
constexpr std::int64_t kHeartbeatPeriod = 25;

}  // namespace

std::shared_ptr<SelectionObserver> SelectionObserver::create(const Platform& platform, Pid ownerPID,
                                                             ChangedCallback onSelectionChanged,
                                                             ClearedCallback onSelectionCleared) {
    return std::shared_ptr<SelectionObserver>(new SelectionObserver(
        platform, ownerPID, std::move(onSelectionChanged), std::move(onSelectionCleared)));
}

SelectionObserver::SelectionObserver(const Platform& platform, Pid ownerPID,
                                     ChangedCallback onSelectionChanged,
                                     ClearedCallback onSelectionCleared)
    : ownerPID(ownerPID),
      platform_(platform),
      onSelectionChanged_(std::move(onSelectionChanged)),
      onSelectionCleared_(std::move(onSelectionCleared)) {}

SelectionObserver::~SelectionObserver() {
    stop();
    debounceWorkItem_.reset();
}

void SelectionObserver::log(LogLevel level, std::string_view message) {
    logMessage(platform_, level, message);
}

void SelectionObserver::start() {
    if (isRunning_) {
        return;
    }
    isRunning_ = true;
    log(LogLevel::info, msg::kObserverStarted);
    startFocusPolling();
    checkFocusChange();
}

void SelectionObserver::stop() {
    if (!isRunning_) {
        return;
    }
    isRunning_ = false;
    focusPollTimer_.reset();
    debounceWorkItem_.reset();
    unbindObserver();
    log(LogLevel::info, msg::kObserverStopped);
}

void SelectionObserver::startFocusPolling() {
    focusPollTimer_.reset();
    std::weak_ptr<SelectionObserver> weak = weak_from_this();
    MainQueue& queue = platform_.queue;
    focusPollTimer_.emplace(queue, queue.scheduleRepeating(focusPollInterval, [weak] {
        if (auto observer = weak.lock()) {
            observer->checkFocusChange();
        }
        if (auto observer = weak.lock()) {
            observer->pollTick();
        }
    }));
}

void SelectionObserver::checkFocusChange() {
    if (!isRunning_) {
        return;
    }
    Pid pid = focusedAppPID();
    if (pid < 1 || pid == ownerPID) {
        return;
    }
    if (observedAppPID_ == pid && observer_) {
        return;
    }
    if (pollOnlyPID_ == pid) {
        return;
    }
    Pid previous = std::max(pollOnlyPID_, observedAppPID_);
    if (previous != 0 && previous != pid) {
        clearSelection("focus_pid_changed");
    }
    double now = platform_.queue.now();
    if (now - lastRebindTime_ < minRebindInterval) {
        return;
    }
    lastRebindTime_ = now;
    log(LogLevel::info, msg::bindingObserver(pid));
    unbindObserver();
    pollOnlyPID_ = 0;
    bindObserver(pid);
}

void SelectionObserver::pollTick() {
    if (!isRunning_) {
        return;
    }
    Pid pid = focusedAppPID();
    if (pid < 1 || pid == ownerPID) {
        return;
    }
    ++pollCount_;
    if (pollCount_ % kHeartbeatPeriod == 1) {
        log(LogLevel::info,
            msg::heartbeat(pollCount_, pid, observedAppPID_, observer_ != nullptr, pollOnlyPID_));
    }
    evaluateSelection();
}

void SelectionObserver::bindObserver(Pid pid) {
    if (!isRunning_) {
        return;
    }
    if (focusedAppPID() != pid || ownerPID == pid) {
        log(LogLevel::debug, msg::focusChangedBeforeCreation(pid));
        return;
    }
    ax::Accessibility& accessibility = platform_.accessibility;
    ax::ObserverResult created = accessibility.createObserver(
        pid,
        [&queue = platform_.queue](ax::Observer& observer, const ax::ElementRef& element,
                                   const std::string& notification, const ax::Context& context) {
            axObserverCallback(queue, observer, element, notification, context);
        });
    if (created.error != ax::kAXErrorSuccess || !created.observer) {
        log(LogLevel::error, msg::observerCreateFailed(pid, created.error));
        return;
    }
    ax::ElementRef application = accessibility.createApplication(pid);
    std::int64_t subscribed = 0;
    for (const char* name : kSubscriptions) {
        ax::AXError result = created.observer->addNotification(application, name, weak_from_this());
        if (result == ax::kAXErrorSuccess || result == ax::kAXErrorNotificationAlreadyRegistered) {
            ++subscribed;
        } else {
            log(LogLevel::warn, msg::addNotificationFailed(name, result));
        }
    }
    if (subscribed > 0) {
        platform_.queue.addSource(created.observer->runLoopSource());
        observer_ = std::move(created.observer);
        observedAppPID_ = pid;
        pollOnlyPID_ = 0;
        log(LogLevel::info,
            msg::observerBound(pid, subscribed, static_cast<std::int64_t>(kSubscriptions.size())));
    } else {
        pollOnlyPID_ = pid;
        observedAppPID_ = 0;
        observer_.reset();
        log(LogLevel::warn, msg::notificationsUnsupported(pid));
    }
}

void SelectionObserver::unbindObserver() {
    if (observer_) {
        if (observedAppPID_ >= 1) {
            ax::ElementRef application = platform_.accessibility.createApplication(observedAppPID_);
            for (const char* name : kSubscriptions) {
                observer_->removeNotification(application, name);
            }
        }
        platform_.queue.removeSource(observer_->runLoopSource());
        observer_.reset();
    }
    observedAppPID_ = 0;
}

void SelectionObserver::axObserverCallback(MainQueue& queue, ax::Observer& /*observer*/,
                                           const ax::ElementRef& /*element*/,
                                           const std::string& notification,
                                           const ax::Context& context) {
    if (context.expired()) {
        return;
    }
    // The context does not keep the observer alive; the block finds out whether it still lives.
    queue.async([context, notification] {
        if (auto target = std::static_pointer_cast<SelectionObserver>(context.lock())) {
            target->handleAXNotification(notification);
        }
    });
}

void SelectionObserver::handleAXNotification(const std::string& name) {
    if (!isRunning_) {
        return;
    }
    if (name == ax::kAXSelectedTextChangedNotification) {
        scheduleDebouncedCheck();
    }
}

void SelectionObserver::scheduleDebouncedCheck() {
    debounceWorkItem_.reset();
    std::weak_ptr<SelectionObserver> weak = weak_from_this();
    MainQueue& queue = platform_.queue;
    debounceWorkItem_.emplace(queue, queue.asyncAfter(debounceInterval, [weak] {
        if (auto observer = weak.lock()) {
            observer->evaluateSelection();
        }
    }));
}

Pid SelectionObserver::focusedAppPID() {
    if (auto front = platform_.workspace.frontmostApplication();
        front && front->processIdentifier > 0) {
        return front->processIdentifier;
    }
    ax::Accessibility& accessibility = platform_.accessibility;
    ax::Answer answer = accessibility.copyAttributeValue(accessibility.createSystemWide(),
                                                         ax::kAXFocusedApplicationAttribute);
    if (answer.succeededWithValue()) {
        const ax::ElementRef* application = ax::elementIn(answer);
        return application != nullptr ? accessibility.getPid(*application) : 0;
    }
    log(LogLevel::warn, msg::focusedAppLookupFailed(answer.error));
    return 0;
}

}  // namespace glimwick
