#include "platform/linux/WaylandPrimary.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "diagnostics/Messages.h"
#include "platform/linux/GObjectPtr.h"
#include "platform/linux/SwayFocus.h"
#include "platform/linux/UniqueFd.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"

namespace glimwick::os {

namespace {

// The text types asked for, best first: UTF-8 where the owner offers it.
constexpr std::array<std::string_view, 5> kTextTypes = {"text/plain;charset=utf-8", "UTF8_STRING",
                                                        "text/plain", "TEXT", "STRING"};

// Owns one Wayland object, ended by its protocol's destructor request.
template <auto Destroy>
struct WaylandDestroy {
    template <typename T>
    void operator()(T* object) const {
        Destroy(object);
    }
};
template <typename T, auto Destroy>
using WaylandPtr = std::unique_ptr<T, WaylandDestroy<Destroy>>;

}  // namespace

struct WaylandPrimary::Wayland {
    WaylandPrimary& self;
    SwayFocus& front;
    std::function<void(const std::string&)> notice;
    // Declared first, so that it is disconnected last.
    WaylandPtr<wl_display, wl_display_disconnect> display;
    WaylandPtr<wl_registry, wl_registry_destroy> registry;
    WaylandPtr<wl_seat, wl_seat_destroy> seat;
    WaylandPtr<zwlr_data_control_manager_v1, zwlr_data_control_manager_v1_destroy> manager;
    WaylandPtr<zwlr_data_control_device_v1, zwlr_data_control_device_v1_destroy> device;
    WaylandPtr<wl_callback, wl_callback_destroy> started;
    guint watch = 0;

    // The offers announced and not yet placed or let go, with their types.
    std::unordered_map<zwlr_data_control_offer_v1*, std::vector<std::string>> offers;
    WaylandPtr<zwlr_data_control_offer_v1, zwlr_data_control_offer_v1_destroy>
        held;  // the primary selection's

    // What the primary selection holds, once read, and who set it when.
    bool known = false;
    std::optional<std::string> text;
    // The protocol does not say who set it: the process in front is taken for its owner.
    Pid setBy = 0;
    PrimaryClaim claim;

    // A read under way.
    UniqueFd reading;
    guint readWatch = 0;
    guint limit = 0;
    std::string buffer;

    Wayland(WaylandPrimary& self, SwayFocus& front) : self(self), front(front) {}

    ~Wayland() {
        stopReading();
        if (watch != 0) {
            g_source_remove(watch);
        }
        for (auto& [offer, types] : offers) {
            zwlr_data_control_offer_v1_destroy(offer);
        }
    }

    bool connect() {
        display.reset(wl_display_connect(nullptr));
        if (!display) {
            return false;
        }
        registry.reset(wl_display_get_registry(display.get()));
        static const wl_registry_listener kRegistry{&Wayland::onGlobal, &Wayland::onGlobalGone};
        wl_registry_add_listener(registry.get(), &kRegistry, this);
        // Answered once the compositor has named every global it has.
        started.reset(wl_display_sync(display.get()));
        static const wl_callback_listener kStarted{&Wayland::onStarted};
        wl_callback_add_listener(started.get(), &kStarted, this);
        wl_display_flush(display.get());
        watch = g_unix_fd_add(
            wl_display_get_fd(display.get()), G_IO_IN,
            [](gint, GIOCondition, gpointer data) -> gboolean {
                auto* wayland = static_cast<Wayland*>(data);
                if (wl_display_dispatch(wayland->display.get()) < 0) {
                    wayland->watch = 0;  // the compositor has gone
                    return G_SOURCE_REMOVE;
                }
                wl_display_flush(wayland->display.get());
                return G_SOURCE_CONTINUE;
            },
            this);
        return true;
    }

    static void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface,
                         uint32_t version) {
        auto* self = static_cast<Wayland*>(data);
        if (std::strcmp(interface, wl_seat_interface.name) == 0 && !self->seat) {
            self->seat.reset(
                static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1)));
        } else if (std::strcmp(interface, zwlr_data_control_manager_v1_interface.name) == 0 &&
                   version >= 2 && !self->manager) {
            self->manager.reset(static_cast<zwlr_data_control_manager_v1*>(
                wl_registry_bind(registry, name, &zwlr_data_control_manager_v1_interface, 2)));
        }
        self->listen();
    }

    static void onGlobalGone(void*, wl_registry*, uint32_t) {}

    static void onStarted(void* data, wl_callback*, uint32_t) {
        auto* self = static_cast<Wayland*>(data);
        self->started.reset();
        if (!self->manager && self->notice) {
            self->notice(msg::noDataControl());
        }
    }

    void listen() {
        if (device || !seat || !manager) {
            return;
        }
        device.reset(zwlr_data_control_manager_v1_get_data_device(manager.get(), seat.get()));
        static const zwlr_data_control_device_v1_listener kDevice{
            &Wayland::onOffer, &Wayland::onSelection, &Wayland::onFinished,
            &Wayland::onPrimarySelection};
        zwlr_data_control_device_v1_add_listener(device.get(), &kDevice, this);
    }

    static void onOffer(void* data, zwlr_data_control_device_v1*,
                        zwlr_data_control_offer_v1* offer) {
        auto* self = static_cast<Wayland*>(data);
        self->offers[offer];
        static const zwlr_data_control_offer_v1_listener kTypes{&Wayland::onType};
        zwlr_data_control_offer_v1_add_listener(offer, &kTypes, self);
    }

    static void onType(void* data, zwlr_data_control_offer_v1* offer, const char* type) {
        auto* self = static_cast<Wayland*>(data);
        if (auto found = self->offers.find(offer); found != self->offers.end()) {
            found->second.emplace_back(type);
        }
    }

    // The clipboard is not a selection: its offer is let go at once.
    static void onSelection(void* data, zwlr_data_control_device_v1*,
                            zwlr_data_control_offer_v1* offer) {
        static_cast<Wayland*>(data)->letGo(offer);
    }

    static void onFinished(void* data, zwlr_data_control_device_v1*) {
        static_cast<Wayland*>(data)->device.reset();
    }

    static void onPrimarySelection(void* data, zwlr_data_control_device_v1*,
                                   zwlr_data_control_offer_v1* offer) {
        static_cast<Wayland*>(data)->primaryChanged(offer);
    }

    void letGo(zwlr_data_control_offer_v1* offer) {
        if (offer != nullptr && offers.erase(offer) > 0) {
            zwlr_data_control_offer_v1_destroy(offer);
        }
    }

    void primaryChanged(zwlr_data_control_offer_v1* offer) {
        stopReading();
        held.reset();
        // The first is what the selection held before we looked: not fresh, never read.
        bool first = self.ownerChanges() == 0;
        self.ownerChanged();
        auto focused = front.focused();
        setBy = focused ? focused->pid : 0;
        claim.set(first ? 0 : setBy, setBy, front.generation());
        known = false;
        text.reset();
        std::vector<std::string> types;
        if (auto found = offers.find(offer); found != offers.end()) {
            types = std::move(found->second);
            offers.erase(found);
            held.reset(offer);
        }
        if (offer == nullptr) {
            known = true;
            text = std::string();  // nothing is selected
            self.changed(setBy);
            return;
        }
        auto type =
            std::find_first_of(kTextTypes.begin(), kTextTypes.end(), types.begin(), types.end());
        if (!claim.counts(setBy, front.generation()) || type == kTextTypes.end()) {
            known = true;  // no text to read, or none that counts
            return;
        }
        read(std::string(*type));
    }

    void read(const std::string& type) {
        std::array<int, 2> pipe{};
        if (pipe2(pipe.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
            known = true;
            return;
        }
        reading.reset(pipe[0]);
        {
            UniqueFd writing(pipe[1]);  // the request carries its own copy
            zwlr_data_control_offer_v1_receive(held.get(), type.c_str(), writing.get());
            wl_display_flush(display.get());
        }
        readWatch = g_unix_fd_add(reading.get(), static_cast<GIOCondition>(G_IO_IN | G_IO_HUP),
                                  &Wayland::onReadable, this);
        limit = g_timeout_add(kReadLimitMs, &Wayland::onLimit, this);
    }

    static gboolean onReadable(gint fd, GIOCondition, gpointer data) {
        auto* self = static_cast<Wayland*>(data);
        std::array<char, 65536> chunk{};
        ssize_t got = ::read(fd, chunk.data(), chunk.size());
        if (got > 0 && self->buffer.size() + static_cast<std::size_t>(got) <= kMaxBytes) {
            self->buffer.append(chunk.data(), static_cast<std::size_t>(got));
            return G_SOURCE_CONTINUE;
        }
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
            return G_SOURCE_CONTINUE;
        }
        self->readWatch = 0;
        self->finish(got == 0 ? std::optional(std::move(self->buffer)) : std::nullopt);
        return G_SOURCE_REMOVE;
    }

    static gboolean onLimit(gpointer data) {
        auto* self = static_cast<Wayland*>(data);
        self->limit = 0;
        self->finish(std::nullopt);
        return G_SOURCE_REMOVE;
    }

    void finish(std::optional<std::string> result) {
        stopReading();
        known = true;
        if (result &&
            !g_utf8_validate(result->data(), static_cast<gssize>(result->size()), nullptr)) {
            GCharPtr valid(g_utf8_make_valid(result->data(), static_cast<gssize>(result->size())));
            result = valid.get();
        }
        text = std::move(result);
        self.changed(setBy);
    }

    void stopReading() {
        for (guint* source : {&readWatch, &limit}) {
            if (*source != 0) {
                g_source_remove(*source);
                *source = 0;
            }
        }
        reading.reset();
        buffer.clear();
        buffer.shrink_to_fit();
    }
};

WaylandPrimary::WaylandPrimary(SwayFocus& front, bool wanted) {
    auto wayland = std::make_unique<Wayland>(*this, front);
    if (wanted && wayland->connect()) {
        wayland_ = std::move(wayland);
    }
}

void WaylandPrimary::setNotice(std::function<void(const std::string&)> notice) {
    if (wayland_) {
        wayland_->notice = std::move(notice);
    }
}

WaylandPrimary::~WaylandPrimary() = default;

bool WaylandPrimary::available() const {
    return wayland_ && wayland_->device && wayland_->front.available();
}

std::optional<Pid> WaylandPrimary::focusedProcess() const {
    auto focused = wayland_ ? wayland_->front.focused() : std::nullopt;
    return focused && focused->pid > 0 ? std::optional(focused->pid) : std::nullopt;
}

std::optional<std::string> WaylandPrimary::selectionOf(Pid pid) {
    if (!wayland_ || !wayland_->claim.counts(pid, wayland_->front.generation())) {
        return std::nullopt;
    }
    return wayland_->known ? wayland_->text : std::nullopt;
}

void WaylandPrimary::focusMoved() {
    if (wayland_) {
        wayland_->claim.focusMoved();
    }
}

std::uint64_t WaylandPrimary::activeGeneration() const {
    return wayland_ ? wayland_->front.generation() : 0;
}

}  // namespace glimwick::os
