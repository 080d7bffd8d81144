#include "diagnostics/Messages.h"

#include <charconv>
#include <cmath>

#include "common/Text.h"

namespace glimwick::msg {

namespace {

std::string str(std::int64_t value) {
    return std::to_string(value);
}
std::string_view boolText(bool value) {
    return value ? "true" : "false";
}

std::string accessValues(bool axTrusted, bool axDirect, bool granted, std::int32_t axError) {
    std::string s;
    s.append(boolText(axTrusted))
        .append(" axDirect=")
        .append(boolText(axDirect))
        .append(" granted=")
        .append(boolText(granted))
        .append(" axError=")
        .append(str(axError));
    return s;
}

}  // namespace

std::string bannerSystem(std::string_view osVersion) {
    return std::string("[Glimwick] macOS ").append(osVersion);
}

std::string consoleLine(std::string_view levelName, std::string_view message) {
    return std::string("[SelectionObserver][").append(levelName).append("] ").append(message);
}

std::string observerContext(std::string_view message) {
    return std::string("Observer: ").append(message);
}

std::string startPermissionCheck(bool axTrusted, bool axDirect, bool granted,
                                 std::int32_t axError) {
    return "startMonitoring权限检查: axTrusted=" +
           accessValues(axTrusted, axDirect, granted, axError);
}

std::string startRefused(bool axTrusted, bool axDirect, bool granted, std::int32_t axError) {
    return std::string(kStartRefusedPrefix) + accessValues(axTrusted, axDirect, granted, axError);
}

std::string monitoringStarted(std::int32_t mainAppPID, std::int64_t helperPID) {
    return std::string(kMonitoringStartedPrefix) + str(mainAppPID) + " helperPID=" + str(helperPID);
}

std::string verifyAppSummary(std::string_view title, std::int64_t pid) {
    return std::string("✅").append(title).append("(pid=").append(str(pid)).append(")");
}

std::string verifyAppError(std::int32_t error) {
    return "axError=" + str(error);
}

std::string verifyFocusSelection(std::int32_t selectedTextError, std::string_view textPrefixOrNil) {
    return "selectedText=" + str(selectedTextError) + " text=" + std::string(textPrefixOrNil);
}

std::string verifyFocusError(std::int32_t focusError) {
    return "focusedElement=" + str(focusError);
}

std::string verifyReport(std::string_view appSummary, std::string_view frontName,
                         std::int64_t frontPID, std::string_view focusSummary) {
    return std::string("🔍AX验证: ")
        .append(appSummary)
        .append(" | NSWorkspace前台=")
        .append(frontName)
        .append("(pid=")
        .append(str(frontPID))
        .append(") | ")
        .append(focusSummary);
}

std::string mismatchExiting(std::string_view ownPath, std::string_view expectedPath) {
    return std::string(kMismatchExitingPrefix).append(ownPath).append(" -> ").append(expectedPath);
}

std::string redundantIsKept(std::int64_t keepPID) {
    return std::string(kRedundantKeptPrefix) + str(keepPID);
}

std::string redundantExiting(std::int64_t ownPID, std::int64_t keepPID) {
    return std::string(kRedundantExitingPrefix) + str(ownPID) + " keepPID=" + str(keepPID);
}

std::string selectionSkippedMainAppFront(std::int64_t frontPID) {
    return "选区跳过:前台应用是主应用 frontPID=" + str(frontPID);
}

std::string selectionDetected(std::string_view textPrefix30, const Rect& rect) {
    return std::string("📝选区检测到: ")
        .append(textPrefix30)
        .append("... rect=(")
        .append(truncated(rect.x) + "," + truncated(rect.y) + "," + truncated(rectWidth(rect)) +
                "," + truncated(rectHeight(rect)))
        .append(")");
}

std::string bindingObserver(std::int32_t pid) {
    return "Binding observer to focused app pid=" + str(pid);
}

std::string focusChangedBeforeCreation(std::int32_t pid) {
    return "Focus changed before observer creation, skipping pid=" + str(pid);
}

std::string observerCreateFailed(std::int32_t pid, std::int32_t error) {
    return "Failed to create AXObserver for pid=" + str(pid) + ": " + str(error);
}

std::string addNotificationFailed(std::string_view name, std::int32_t error) {
    return std::string("Failed to add notification ").append(name).append(": ").append(str(error));
}

std::string observerBound(std::int32_t pid, std::int64_t subscribed, std::int64_t total) {
    return "Observer bound to pid=" + str(pid) + ", subscribed=" + str(subscribed) + "/" +
           str(total);
}

std::string notificationsUnsupported(std::int32_t pid) {
    return "Notifications unsupported for pid=" + str(pid) + ", falling back to polling";
}

std::string focusedAppLookupFailed(std::int32_t error) {
    return "Failed to get focused app PID via AX API: " + str(error);
}

std::string heartbeat(std::int64_t count, std::int32_t focusedPID, std::int32_t observedPID,
                      bool hasObserver, std::int32_t pollOnlyPID) {
    return "轮询心跳 #" + str(count) + ": focusedPID=" + str(focusedPID) +
           " observedPID=" + str(observedPID) +
           " hasObserver=" + std::string(boolText(hasObserver)) +
           " pollOnlyPID=" + str(pollOnlyPID);
}

std::string focusedElementFailed(std::int64_t failCount, std::int32_t error) {
    return "AX获取焦点元素失败(#" + str(failCount) + "): errorCode=" + str(error);
}

std::string selectionValidated(std::string_view textPrefix30, double midX, double midY) {
    return std::string("Selection validated: ")
        .append(textPrefix30)
        .append("... at (")
        .append(truncated(midX) + ", " + truncated(midY))
        .append(")");
}

std::string invalidSelectionRect(const Rect& rect) {
    return "Invalid selection rect: (" + formatDouble(rect.x) + ", " + formatDouble(rect.y) + ", " +
           formatDouble(rect.width) + ", " + formatDouble(rect.height) + "), ignored";
}

std::string selectionCleared(std::string_view reason) {
    return std::string("Selection cleared: ").append(reason);
}

std::string browserWithoutDocument(std::string_view application, std::int32_t pid) {
    return std::string(application) + " (pid=" + std::to_string(pid) +
           ") shows accessibility no page: its selections come through PRIMARY, without their "
           "place. Start it with --force-renderer-accessibility or ACCESSIBILITY_ENABLED=1 "
           "(README: Browsers and Electron applications)";
}

std::string noDataControl() {
    return "The compositor offers no data-control protocol: selections in Wayland applications "
           "without accessibility cannot be read (README: Wayland)";
}

std::string truncated(double value) {
    return fitsInt64(value) ? str(truncateToInt64(value)) : formatDouble(value);
}

std::string formatDouble(double value) {
    if (std::isnan(value)) {
        return "nan";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    // Fixed notation keeps a point; 330 covers the longest fixed form of a double.
    char buffer[400];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    std::string text(buffer, ec == std::errc() ? end : buffer);
    if (text.find('.') == std::string::npos) {
        text += ".0";
    }
    return text;
}

}  // namespace glimwick::msg
