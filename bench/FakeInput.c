/* Keys typed into KWin through its fake-input protocol, as KDE's own tools type them.
 * Usage: glimwick_fake_input CHORD...   where a chord is evdev key codes joined by '+'
 * (29+102: ctrl+Home), pressed in order and released in reverse. Exits 1 when the compositor
 * offers no fake input. */
#define _POSIX_C_SOURCE 199309L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <wayland-client.h>

#include "fake-input-client-protocol.h"

static struct org_kde_kwin_fake_input* input;

static void global(void* data, struct wl_registry* registry, uint32_t name, const char* interface,
                   uint32_t version) {
    (void)data;
    if (strcmp(interface, org_kde_kwin_fake_input_interface.name) == 0 && version >= 4) {
        input = wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, 4);
    }
}

static void global_remove(void* data, struct wl_registry* registry, uint32_t name) {
    (void)data, (void)registry, (void)name;
}

static const struct wl_registry_listener listener = {global, global_remove};

int main(int argc, char** argv) {
    struct wl_display* display = wl_display_connect(NULL);
    if (display == NULL) {
        fprintf(stderr, "no Wayland display\n");
        return 1;
    }
    struct wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &listener, NULL);
    wl_display_roundtrip(display);
    if (input == NULL) {
        fprintf(stderr, "the compositor offers no fake input\n");
        wl_registry_destroy(registry);
        wl_display_disconnect(display);
        return 1;
    }
    org_kde_kwin_fake_input_authenticate(input, "glimwick tests", "typing into test windows");
    for (int i = 1; i < argc; ++i) {
        unsigned codes[8];
        int n = 0;
        for (char* part = strtok(argv[i], "+"); part != NULL && n < 8; part = strtok(NULL, "+")) {
            codes[n++] = (unsigned)strtoul(part, NULL, 10);
        }
        for (int k = 0; k < n; ++k) {
            org_kde_kwin_fake_input_keyboard_key(input, codes[k], WL_KEYBOARD_KEY_STATE_PRESSED);
        }
        for (int k = n - 1; k >= 0; --k) {
            org_kde_kwin_fake_input_keyboard_key(input, codes[k], WL_KEYBOARD_KEY_STATE_RELEASED);
        }
        wl_display_roundtrip(display);
        /* Paced like a quick typist, so that a toolkit handles each chord on its own. */
        nanosleep(&(struct timespec){0, 30 * 1000 * 1000}, NULL);
    }
    org_kde_kwin_fake_input_destroy(input);
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    return 0;
}
