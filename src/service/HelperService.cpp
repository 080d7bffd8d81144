#include "service/HelperService.h"

#include <utility>

#include "diagnostics/Diagnostics.h"
#include "diagnostics/Messages.h"
#include "service/Catalogue.h"

namespace glimwick {

namespace {

constexpr double kStartupPermissionCheckDelay = 0.5;

// Runs method on the service if it still exists.
template <typename Method>
auto weakly(const std::weak_ptr<HelperService>& weak, Method method) {
    return [weak, method](auto&&... args) {
        if (auto service = weak.lock()) {
            ((*service).*method)(std::forward<decltype(args)>(args)...);
        }
    };
}

}  // namespace

std::shared_ptr<HelperService> HelperService::create(const Platform& platform) {
    return std::shared_ptr<HelperService>(new HelperService(platform));
}

HelperService::HelperService(const Platform& platform) : platform_(platform) {}

HelperService::~HelperService() = default;

void HelperService::start() {
    std::weak_ptr<HelperService> weak = weak_from_this();
    auto withNotification = [&](void (HelperService::*method)(const Notification&)) {
        return NotificationCenter::Block(weakly(weak, method));
    };
    auto withoutObject = [&](void (HelperService::*method)()) {
        auto call = weakly(weak, method);
        return NotificationCenter::Block([call](const Notification&) { call(); });
    };
    const std::pair<const char*, NotificationCenter::Block> registrations[] = {
        {names::kStartMonitoring, withNotification(&HelperService::handleStartMonitoring)},
        {names::kStopMonitoring, withoutObject(&HelperService::handleStopMonitoring)},
        {names::kCheckPermission, withoutObject(&HelperService::handleCheckPermission)},
        {names::kRequestPermission, withoutObject(&HelperService::handleRequestPermission)},
        {names::kPing, withoutObject(&HelperService::handlePing)},
        {names::kShutdownIfMismatch, withNotification(&HelperService::handleShutdownIfMismatch)},
        {names::kShutdownRedundant, withNotification(&HelperService::handleShutdownRedundant)},
    };
    for (const auto& [name, block] : registrations) {
        observerTokens_.push_back(platform_.notificationCenter.addObserver(name, block));
    }

    postDiagnostic(msg::kServiceStarted);

    platform_.queue.asyncAfter(kStartupPermissionCheckDelay,
                               weakly(weak, &HelperService::handleCheckPermission));
}

void HelperService::teardown() {
    selectionObserver_.reset();
    isMonitoring_ = false;
    for (auto token : observerTokens_) {
        platform_.notificationCenter.removeObserver(token);
    }
    observerTokens_.clear();
}

void HelperService::handleStartMonitoring(const Notification& /*notification*/) {}
void HelperService::handleStopMonitoring() {}
void HelperService::handleCheckPermission() {}
void HelperService::handleRequestPermission() {}

void HelperService::handlePing() { postIdentity(names::kPong); }

void HelperService::handleShutdownIfMismatch(const Notification& /*notification*/) {}
void HelperService::handleShutdownRedundant(const Notification& /*notification*/) {}

Json HelperService::identityPayload() const {
    return Json{{keys::kBundlePath, platform_.process.bundlePath()},
                {keys::kPid, platform_.process.processIdentifier()}};
}

void HelperService::postIdentity(const std::string& name) { postJSON(name, identityPayload()); }

bool HelperService::postJSON(const std::string& name, const Json& payload) {
    return glimwick::postJSON(platform_.notificationCenter, name, payload);
}

void HelperService::postDiagnostic(std::string_view message) {
    glimwick::postDiagnostic(platform_, message);
}

}  // namespace glimwick
