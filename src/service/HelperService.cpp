#include "service/HelperService.h"

#include <limits>
#include <utility>

#include "diagnostics/Diagnostics.h"
#include "diagnostics/Messages.h"
#include "observer/SelectionObserver.h"
#include "protocol/Catalogue.h"

namespace glimwick {

namespace {

constexpr double kStartupPermissionCheckDelay = 0.5;
constexpr double kPermissionRecheckDelay = 1.0;
constexpr double kTrustVerificationDelay = 2.0;
constexpr double kTerminationDelay = 0.1;
constexpr std::int64_t kVerifyTextPrefix = 20;
constexpr std::int64_t kDetectedTextPrefix = 30;
constexpr const char* kSettingsScheme = "x-apple.systempreferences";
constexpr const char* kSettingsPane = "com.apple.preference.security";
constexpr const char* kSettingsAnchor = "Privacy_Accessibility";

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
    if (selectionObserver_) {
        selectionObserver_->stop();
    }
    selectionObserver_.reset();
    isMonitoring_ = false;
    for (auto token : observerTokens_) {
        platform_.notificationCenter.removeObserver(token);
    }
    observerTokens_.clear();
}

// Monitoring control.

void HelperService::handleStartMonitoring(const Notification& notification) {
    if (auto arguments = decodeArguments(notification)) {
        auto found = arguments->find(keys::kAppPID);
        if (found != arguments->end()) {
            if (auto pid = wholeNumber(*found, std::numeric_limits<Pid>::min(),
                                       std::numeric_limits<Pid>::max())) {
                mainAppPID_ = static_cast<Pid>(*pid);
            }
        }
    }

    if (isMonitoring_) {
        postDiagnostic(msg::kAlreadyMonitoring);
        if (selectionObserver_) {
            selectionObserver_->stop();
            if (!selectionObserver_->isRunning()) {
                selectionObserver_->start();
            }
        }
        scheduleTrustVerification();
        return;
    }

    AccessEvaluation access = evaluateAccessibilityAccess();
    postDiagnostic(msg::startPermissionCheck(access.axTrusted, access.axDirect, access.granted,
                                             access.axErrorCode));
    if (!access.granted) {
        postDiagnostic(msg::startRefused(access.axTrusted, access.axDirect, access.granted,
                                         access.axErrorCode));
        handleCheckPermission();
        return;
    }

    isMonitoring_ = true;
    if (!selectionObserver_) {
        std::weak_ptr<HelperService> weak = weak_from_this();
        selectionObserver_ =
            SelectionObserver::create(platform_, platform_.process.processIdentifier(),
                                      weakly(weak, &HelperService::publishSelectionChanged),
                                      weakly(weak, &HelperService::publishSelectionCleared));
    }
    if (!selectionObserver_->isRunning()) {
        selectionObserver_->start();
    }
    postDiagnostic(msg::monitoringStarted(mainAppPID_, platform_.process.processIdentifier()));
    scheduleTrustVerification();
}

void HelperService::handleStopMonitoring() {
    if (!isMonitoring_) {
        return;
    }
    isMonitoring_ = false;
    if (selectionObserver_) {
        selectionObserver_->stop();
    }
    postDiagnostic(msg::kMonitoringStopped);
}

void HelperService::scheduleTrustVerification() {
    platform_.queue.asyncAfter(kTrustVerificationDelay,
                               weakly(weak_from_this(), &HelperService::verifyAccessibilityTrust));
}

// Permission checking.

AccessEvaluation HelperService::evaluateAccessibilityAccess() {
    ax::Accessibility& accessibility = platform_.accessibility;
    AccessEvaluation access;
    access.axTrusted = accessibility.isProcessTrusted(false);
    access.axErrorCode =
        accessibility
            .copyAttributeValue(accessibility.createSystemWide(), ax::kAXFocusedUIElementAttribute)
            .error;
    access.axDirect = access.axErrorCode != ax::kAXErrorAPIDisabled;
    access.granted = access.axTrusted || access.axDirect;
    return access;
}

void HelperService::handleCheckPermission() {
    AccessEvaluation access = evaluateAccessibilityAccess();
    postPermissionStatus(access.granted, access.axTrusted, access.axDirect, access.axErrorCode);
}

void HelperService::postPermissionStatus(bool granted, bool axTrusted, bool axDirect,
                                         std::int64_t axErrorCode) {
    ProcessInfo& process = platform_.process;
    postJSON(names::kPermissionStatus,
             Json{{keys::kGranted, granted},
                  {keys::kAXTrusted, axTrusted},
                  {keys::kAXDirect, axDirect},
                  {keys::kAXErrorCode, axErrorCode},
                  {keys::kBundlePath, process.bundlePath()},
                  {keys::kExecPath, executablePath(process)},
                  {keys::kPid, std::int64_t{process.processIdentifier()}}});
}

void HelperService::handleRequestPermission() {
    platform_.accessibility.isProcessTrusted(true);
    platform_.workspace.openURL(std::string(kSettingsScheme) + ":" + kSettingsPane + "?" +
                                kSettingsAnchor);
    platform_.queue.asyncAfter(kPermissionRecheckDelay,
                               weakly(weak_from_this(), &HelperService::handleCheckPermission));
}

void HelperService::verifyAccessibilityTrust() {
    ax::Accessibility& accessibility = platform_.accessibility;
    bool trusted = accessibility.isProcessTrusted(false);
    ax::ElementRef systemWide = accessibility.createSystemWide();
    std::string appSummary = verifiedApplication(systemWide);
    auto front = platform_.workspace.frontmostApplication();
    std::string frontName =
        front && front->localizedName ? *front->localizedName : std::string(msg::kVerifyNil);
    Pid frontPID = front ? front->processIdentifier : 0;
    ax::AXError focusError = ax::kAXErrorSuccess;
    std::string focusSummary = verifiedFocus(systemWide, focusError);
    postDiagnostic(msg::verifyReport(appSummary, frontName, frontPID, focusSummary));
    actOnVerification(trusted, focusError, frontPID);
}

std::string HelperService::verifiedApplication(const ax::ElementRef& systemWide) {
    ax::Accessibility& accessibility = platform_.accessibility;
    ax::Answer focusedApp =
        accessibility.copyAttributeValue(systemWide, ax::kAXFocusedApplicationAttribute);
    if (!focusedApp.succeededWithValue()) {
        return msg::verifyAppError(focusedApp.error);
    }
    const ax::ElementRef* application = ax::elementIn(focusedApp);
    Pid pid = application != nullptr ? accessibility.getPid(*application) : 0;
    std::string title(msg::kVerifyUnknownTitle);
    if (application != nullptr) {
        ax::Answer answer = accessibility.copyAttributeValue(*application, ax::kAXTitleAttribute);
        if (const auto* text = answer.value ? std::get_if<std::string>(&*answer.value) : nullptr;
            text != nullptr && answer.error == ax::kAXErrorSuccess) {
            title = *text;
        }
    }
    return msg::verifyAppSummary(title, pid);
}

std::string HelperService::verifiedFocus(const ax::ElementRef& systemWide,
                                         ax::AXError& focusError) {
    ax::Accessibility& accessibility = platform_.accessibility;
    ax::Answer focused =
        accessibility.copyAttributeValue(systemWide, ax::kAXFocusedUIElementAttribute);
    focusError = focused.error;
    if (!focused.succeededWithValue()) {
        return msg::verifyFocusError(focusError);
    }
    const ax::ElementRef* element = ax::elementIn(focused);
    ax::Answer selected =
        element != nullptr
            ? accessibility.copyAttributeValue(*element, ax::kAXSelectedTextAttribute)
            : ax::Answer{ax::kAXErrorIllegalArgument, std::nullopt};
    const auto* text = selected.value ? std::get_if<std::string>(&*selected.value) : nullptr;
    return msg::verifyFocusSelection(
        selected.error, text != nullptr ? text_.prefix(*text, kVerifyTextPrefix) : msg::kVerifyNil);
}

void HelperService::actOnVerification(bool trusted, ax::AXError focusError, Pid frontPID) {
    if (!trusted) {
        postDiagnostic(msg::kTrustLost);
        postPermissionStatus(false, false, false, focusError);
        isMonitoring_ = false;
        if (selectionObserver_) {
            selectionObserver_->stop();
        }
    } else if (focusError == ax::kAXErrorAPIDisabled) {
        bool mainAppFront = mainAppPID_ >= 1 && frontPID == mainAppPID_;
        postDiagnostic(mainAppFront ? msg::kTransientMainAppFront : msg::kTransientAPIDisabled);
    }
}

// Instance management.

void HelperService::handlePing() {
    postIdentity(names::kPong);
}

void HelperService::handleShutdownIfMismatch(const Notification& notification) {
    auto arguments = decodeArguments(notification);
    const Json* expected = nullptr;
    if (arguments) {
        auto found = arguments->find(keys::kExpectedBundlePath);
        expected = found != arguments->end() && found->is_string() ? &*found : nullptr;
    }
    if (expected == nullptr) {
        postDiagnostic(msg::kMismatchInvalid);
        return;
    }
    std::string own = platform_.process.bundlePath();
    const auto& expectedPath = expected->get_ref<const std::string&>();
    if (canonicallyEqual(own, expectedPath)) {
        postDiagnostic(msg::kMismatchIsTarget);
        return;
    }
    postDiagnostic(msg::mismatchExiting(own, expectedPath));
    exitSelf();
}

void HelperService::handleShutdownRedundant(const Notification& notification) {
    auto arguments = decodeArguments(notification);
    const Json* expected = nullptr;
    std::optional<std::int64_t> keepPID;
    if (arguments) {
        auto path = arguments->find(keys::kExpectedBundlePath);
        expected = path != arguments->end() && path->is_string() ? &*path : nullptr;
        auto keep = arguments->find(keys::kKeepPID);
        if (keep != arguments->end()) {
            keepPID = wholeNumber(*keep, std::numeric_limits<std::int64_t>::min(),
                                  std::numeric_limits<std::int64_t>::max());
        }
    }
    if (expected == nullptr || !keepPID) {
        postDiagnostic(msg::kRedundantInvalid);
        return;
    }
    if (!canonicallyEqual(platform_.process.bundlePath(),
                          expected->get_ref<const std::string&>())) {
        return;
    }
    std::int64_t ownPID = platform_.process.processIdentifier();
    if (*keepPID == ownPID) {
        postDiagnostic(msg::redundantIsKept(*keepPID));
        return;
    }
    postDiagnostic(msg::redundantExiting(ownPID, *keepPID));
    exitSelf();
}

void HelperService::exitSelf() {
    if (selectionObserver_) {
        selectionObserver_->stop();
    }
    isMonitoring_ = false;
    // Commands go on being handled until the termination item runs.
    platform_.queue.asyncAfter(kTerminationDelay,
                               [&application = platform_.application] { application.terminate(); });
}

// Selection publishing.

void HelperService::publishSelectionChanged(const std::string& text, const Rect& rect) {
    if (mainAppPID_ >= 1) {
        auto front = platform_.workspace.frontmostApplication();
        if (front && front->processIdentifier == mainAppPID_) {
            postDiagnostic(msg::selectionSkippedMainAppFront(front->processIdentifier));
            return;
        }
    }
    postDiagnostic(msg::selectionDetected(text_.prefix(text, kDetectedTextPrefix), rect));
    Json payload{{keys::kText, text},
                 {keys::kX, rect.x},
                 {keys::kY, rect.y},
                 {keys::kW, rectWidth(rect)},
                 {keys::kH, rectHeight(rect)},
                 {keys::kBundlePath, platform_.process.bundlePath()},
                 {keys::kPid, platform_.process.processIdentifier()}};
    if (!postJSON(names::kSelectionChanged, payload)) {
        postDiagnostic(msg::kSelectionJSONFailed);
    }
}

void HelperService::publishSelectionCleared() {
    postIdentity(names::kSelectionCleared);
}

Json HelperService::identityPayload() const {
    return Json{{keys::kBundlePath, platform_.process.bundlePath()},
                {keys::kPid, platform_.process.processIdentifier()}};
}

void HelperService::postIdentity(const std::string& name) {
    postJSON(name, identityPayload());
}

bool HelperService::postJSON(const std::string& name, const Json& payload) {
    return glimwick::postJSON(platform_.notificationCenter, name, payload);
}

void HelperService::postDiagnostic(std::string_view message) {
    glimwick::postDiagnostic(platform_, message);
}

}  // namespace glimwick
