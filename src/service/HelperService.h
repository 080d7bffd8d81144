#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/Text.h"
#include "platform/Platform.h"
#include "protocol/Message.h"

namespace glimwick {

class SelectionObserver;

// One evaluation of accessibility access; never stored.
struct AccessEvaluation {
    bool axTrusted = false;
    ax::AXError axErrorCode = ax::kAXErrorSuccess;
    bool axDirect = false;
    bool granted = false;
};

// The command service: the notification channel, the seven command handlers and the publishing
// of selection events. Created shared so that every block that points back holds it weakly.
class HelperService : public std::enable_shared_from_this<HelperService> {
public:
    static std::shared_ptr<HelperService> create(const Platform& platform);
    ~HelperService();
    HelperService(const HelperService&) = delete;
    HelperService& operator=(const HelperService&) = delete;

    void start();
    void teardown();

    void handleStartMonitoring(const Notification& notification);
    void handleStopMonitoring();
    void handleCheckPermission();
    void handleRequestPermission();
    void handlePing();
    void handleShutdownIfMismatch(const Notification& notification);
    void handleShutdownRedundant(const Notification& notification);

    // Permission checking.
    AccessEvaluation evaluateAccessibilityAccess();
    void postPermissionStatus(bool granted, bool axTrusted, bool axDirect,
                              std::int64_t axErrorCode);
    void verifyAccessibilityTrust();

    // Selection publishing.
    void publishSelectionChanged(const std::string& text, const Rect& rect);
    void publishSelectionCleared();
    void postIdentity(const std::string& name);
    bool postJSON(const std::string& name, const Json& payload);
    void postDiagnostic(std::string_view message);

    // Read-only views for the host and for tests.
    const std::shared_ptr<SelectionObserver>& selectionObserver() const {
        return selectionObserver_;
    }
    bool isMonitoring() const { return isMonitoring_; }
    Pid mainAppPID() const { return mainAppPID_; }

private:
    explicit HelperService(const Platform& platform);

    Json identityPayload() const;
    void scheduleTrustVerification();
    // The trust verification's steps: what it reports of the focused application and of the
    // focused element (whose error it keeps), then what it does about it.
    std::string verifiedApplication(const ax::ElementRef& systemWide);
    std::string verifiedFocus(const ax::ElementRef& systemWide, ax::AXError& focusError);
    void actOnVerification(bool trusted, ax::AXError focusError, Pid frontPID);
    void exitSelf();

    Platform platform_;
    TextSegmenter text_;

    std::shared_ptr<SelectionObserver> selectionObserver_;
    bool isMonitoring_ = false;
    Pid mainAppPID_ = 0;
    std::vector<NotificationCenter::Token> observerTokens_;
};

}  // namespace glimwick
