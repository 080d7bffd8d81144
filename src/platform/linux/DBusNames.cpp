#include "platform/linux/DBusNames.h"

#include <gio/gio.h>

namespace glimwick::os {

std::optional<SignalName> signalNameFor(std::string_view notificationName) {
    auto dot = notificationName.rfind('.');
    if (dot == std::string_view::npos) {
        return std::nullopt;
    }
    SignalName name{std::string(notificationName.substr(0, dot)),
                    std::string(notificationName.substr(dot + 1))};
    if (!g_dbus_is_interface_name(name.interface.c_str()) ||
        !g_dbus_is_member_name(name.member.c_str())) {
        return std::nullopt;
    }
    return name;
}

}  // namespace glimwick::os
