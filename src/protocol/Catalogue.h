#pragma once

// Notification names and JSON keys shared with the main app.
namespace glimwick::names {

inline constexpr const char* kStartMonitoring = "com.corvala.helper.startMonitoring";
inline constexpr const char* kStopMonitoring = "com.corvala.helper.stopMonitoring";
inline constexpr const char* kCheckPermission = "com.corvala.helper.checkPermission";
inline constexpr const char* kRequestPermission = "com.corvala.helper.requestPermission";
inline constexpr const char* kPing = "com.corvala.helper.ping";
inline constexpr const char* kShutdownIfMismatch = "com.corvala.helper.shutdownIfMismatch";
inline constexpr const char* kShutdownRedundant = "com.corvala.helper.shutdownRedundant";

inline constexpr const char* kSelectionChanged = "com.corvala.app.selectionChanged";
inline constexpr const char* kSelectionCleared = "com.corvala.app.selectionCleared";
inline constexpr const char* kPermissionStatus = "com.corvala.app.permissionStatus";
inline constexpr const char* kPong = "com.corvala.app.pong";
inline constexpr const char* kDiagnostics = "com.corvala.app.diagnostics";

// The seven commands in catalogue order.
inline constexpr const char* kAllCommands[] = {
    kStartMonitoring,    kStopMonitoring,   kCheckPermission, kRequestPermission, kPing,
    kShutdownIfMismatch, kShutdownRedundant};

inline constexpr const char* kCommandPrefix = "com.corvala.helper.";
inline constexpr const char* kEventPrefix = "com.corvala.app.";

}  // namespace glimwick::names

namespace glimwick::keys {

inline constexpr const char* kAppPID = "appPID";
inline constexpr const char* kExpectedBundlePath = "expectedBundlePath";
inline constexpr const char* kKeepPID = "keepPID";

inline constexpr const char* kText = "text";
inline constexpr const char* kX = "x";
inline constexpr const char* kY = "y";
inline constexpr const char* kW = "w";
inline constexpr const char* kH = "h";
inline constexpr const char* kBundlePath = "bundlePath";
inline constexpr const char* kPid = "pid";

inline constexpr const char* kGranted = "granted";
inline constexpr const char* kAXTrusted = "axTrusted";
inline constexpr const char* kAXDirect = "axDirect";
inline constexpr const char* kAXErrorCode = "axErrorCode";
inline constexpr const char* kExecPath = "execPath";

inline constexpr const char* kContext = "context";
inline constexpr const char* kPpid = "ppid";
inline constexpr const char* kBundleID = "bundleID";
inline constexpr const char* kMacOS = "macOS";

inline constexpr const char* kUnknown = "unknown";
inline constexpr const char* kNil = "nil";

}  // namespace glimwick::keys
