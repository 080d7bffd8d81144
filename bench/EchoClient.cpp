// The baseline for ping throughput: the least a client can do per ping on the same bus, which
// is to answer each with one signal carrying a fixed identity payload. With --tick, also the
// baseline for idle: a timer as often as the helper's poll that does nothing.

#include <gio/gio.h>
#include <unistd.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    GError* error = nullptr;
    GDBusConnection* connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (connection == nullptr) {
        std::fprintf(stderr, "echo: %s\n", error->message);
        return 1;
    }
    static std::string payload =
        "{\"bundlePath\":\"/opt/echo\",\"pid\":" + std::to_string(getpid()) + "}";
    g_dbus_connection_signal_subscribe(
        connection, nullptr, "com.corvala.helper", "ping", nullptr, nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection* bus, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
           gpointer) {
            g_dbus_connection_emit_signal(bus, nullptr, "/", "com.corvala.app", "pong",
                                          g_variant_new("(s)", payload.c_str()), nullptr);
        },
        nullptr, nullptr);
    GVariant* reply = g_dbus_connection_call_sync(
        connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "GetId", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, nullptr);
    if (reply != nullptr) {
        g_variant_unref(reply);
    }
    std::printf("ready\n");
    std::fflush(stdout);
    if (argc > 1 && std::string(argv[1]) == "--tick") {
        g_timeout_add(
            400, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    }
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    g_main_loop_run(loop);
    return 0;
}
