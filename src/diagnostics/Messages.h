#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Geometry.h"

// Every text the helper writes to the console or reports as a diagnostic. Main apps match on
// these texts, so they are reproduced exactly, Chinese and emoji included.
namespace glimwick::msg {

// Start banner and exit line.
inline constexpr std::string_view kBannerRule = "[Glimwick] =============================";
inline constexpr std::string_view kBannerStarted = "[Glimwick] 辅助进程已启动";
std::string bannerSystem(std::string_view osVersion);
inline constexpr std::string_view kExitLine = "[Glimwick] 辅助进程已退出";

// Observer console lines and the "context" of their diagnostics.
std::string consoleLine(std::string_view levelName, std::string_view message);
std::string observerContext(std::string_view message);

// Command service diagnostics.
inline constexpr std::string_view kServiceStarted = "启动";
inline constexpr std::string_view kAlreadyMonitoring = "startMonitoring:已在监听中，重新验证...";
std::string startPermissionCheck(bool axTrusted, bool axDirect, bool granted, std::int32_t axError);
inline constexpr std::string_view kStartRefusedPrefix = "startMonitoring失败:无权限 axTrusted=";
std::string startRefused(bool axTrusted, bool axDirect, bool granted, std::int32_t axError);
inline constexpr std::string_view kMonitoringStartedPrefix = "✅监听已启动 mainAppPID=";
std::string monitoringStarted(std::int32_t mainAppPID, std::int64_t helperPID);
inline constexpr std::string_view kMonitoringStopped = "🛑监听已停止";

std::string verifyAppSummary(std::string_view title, std::int64_t pid);
std::string verifyAppError(std::int32_t error);
std::string verifyFocusSelection(std::int32_t selectedTextError, std::string_view textPrefixOrNil);
std::string verifyFocusError(std::int32_t focusError);
std::string verifyReport(std::string_view appSummary, std::string_view frontName,
                         std::int64_t frontPID, std::string_view focusSummary);
inline constexpr std::string_view kVerifyUnknownTitle = "?";
inline constexpr std::string_view kVerifyNil = "nil";
inline constexpr std::string_view kTrustLost =
    "⚠️AX验证发现 trusted=false，判定辅助功能权限已失效，停止监听";
inline constexpr std::string_view kTransientMainAppFront =
    "ℹ️AX验证命中主应用前台瞬时 false negative，保持已授权状态";
inline constexpr std::string_view kTransientAPIDisabled =
    "ℹ️AX验证出现瞬时 apiDisabled，但 trusted=true，保持已授权状态";

inline constexpr std::string_view kMismatchInvalid =
    "⚠️ 收到 shutdownIfMismatch 但参数无效";
inline constexpr std::string_view kMismatchIsTarget =
    "✅ 收到 shutdownIfMismatch，但当前已是目标 Helper，继续运行";
inline constexpr std::string_view kMismatchExitingPrefix =
    "🛑 检测到旧 Helper，准备自行退出: ";
std::string mismatchExiting(std::string_view ownPath, std::string_view expectedPath);
inline constexpr std::string_view kRedundantInvalid =
    "⚠️ 收到 shutdownRedundant 但参数无效";
inline constexpr std::string_view kRedundantKeptPrefix =
    "✅ 收到 shutdownRedundant，但当前是保留实例 PID=";
std::string redundantIsKept(std::int64_t keepPID);
inline constexpr std::string_view kRedundantExitingPrefix =
    "🛑 检测到同路径重复 Helper，准备自行退出: pid=";
std::string redundantExiting(std::int64_t ownPID, std::int64_t keepPID);

std::string selectionSkippedMainAppFront(std::int64_t frontPID);
std::string selectionDetected(std::string_view textPrefix30, const Rect& rect);
inline constexpr std::string_view kSelectionJSONFailed = "❌选区JSON序列化失败";

// Observer messages.
inline constexpr std::string_view kObserverStarted = "SelectionObserver started";
inline constexpr std::string_view kObserverStopped = "SelectionObserver stopped";
std::string bindingObserver(std::int32_t pid);
std::string focusChangedBeforeCreation(std::int32_t pid);
std::string observerCreateFailed(std::int32_t pid, std::int32_t error);
std::string addNotificationFailed(std::string_view name, std::int32_t error);
std::string observerBound(std::int32_t pid, std::int64_t subscribed, std::int64_t total);
std::string notificationsUnsupported(std::int32_t pid);
std::string focusedAppLookupFailed(std::int32_t error);
std::string heartbeat(std::int64_t count, std::int32_t focusedPID, std::int32_t observedPID,
                      bool hasObserver, std::int32_t pollOnlyPID);
std::string focusedElementFailed(std::int64_t failCount, std::int32_t error);
inline constexpr std::string_view kIgnoredExcluded =
    "Ignored: element in exclusion list (address bar, search box, etc.)";
std::string selectionValidated(std::string_view textPrefix30, double midX, double midY);
std::string invalidSelectionRect(const Rect& rect);
std::string selectionCleared(std::string_view reason);

// The platform's own notices, through the observer's log.
// A Chromium-based program in front that shows accessibility no page.
std::string browserWithoutDocument(std::string_view application, std::int32_t pid);

// Under Wayland, once: the compositor offers no data-control (GNOME's Mutter).
std::string noDataControl();

// A coordinate shown as an integer, truncated toward zero; one beyond 64 bits (or not finite)
// is written as formatDouble writes it.
std::string truncated(double value);

// Shortest text that reads back as the same double, with at least one digit after the point.
std::string formatDouble(double value);

}  // namespace glimwick::msg
