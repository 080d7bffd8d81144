#include "platform/linux/SwayFocus.h"

#include <glib-unix.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <nlohmann/json.hpp>

namespace glimwick::os {

namespace {

constexpr std::string_view kMagic = "i3-ipc";
constexpr std::size_t kHeader = kMagic.size() + 8;
constexpr std::uint32_t kSubscribe = 2;
constexpr std::uint32_t kGetTree = 4;
constexpr std::uint32_t kWindowEvent = 0x80000003;
// A tree or an event larger than this is not sway's: the connection is given up.
constexpr std::size_t kMaxMessage = std::size_t{16} << 20;

std::optional<SwayFocus::Focused> focusedIn(const nlohmann::json& node) {
    if (!node.is_object()) {
        return std::nullopt;
    }
    if (node.value("focused", false) && node.contains("pid")) {
        const auto& rect = node.value("rect", nlohmann::json::object());
        return SwayFocus::Focused{
            node.value("id", 0L), node.value("pid", 0),
            node["app_id"].is_string() ? node["app_id"].get<std::string>() : node.value("name", ""),
            Rect{rect.value("x", 0.0), rect.value("y", 0.0), rect.value("width", 0.0),
                 rect.value("height", 0.0)}};
    }
    for (const char* children : {"nodes", "floating_nodes"}) {
        if (node.contains(children) && node[children].is_array()) {
            for (const auto& child : node[children]) {
                if (auto found = focusedIn(child)) {
                    return found;
                }
            }
        }
    }
    return std::nullopt;
}

}  // namespace

std::string SwayFocus::message(std::uint32_t type, const std::string& payload) {
    std::string out(kMagic);
    auto length = static_cast<std::uint32_t>(payload.size());
    out.append(reinterpret_cast<const char*>(&length), sizeof(length));
    out.append(reinterpret_cast<const char*>(&type), sizeof(type));
    return out + payload;
}

SwayFocus::SwayFocus() {
    const char* path = g_getenv("SWAYSOCK");
    sockaddr_un address{};
    if (path == nullptr || std::strlen(path) >= sizeof(address.sun_path)) {
        return;
    }
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof(address.sun_path) - 1);
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        return;
    }
    // A local socket's connect and two short requests do not wait on the compositor.
    std::string hello = message(kSubscribe, R"(["window"])") + message(kGetTree, "");
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        send(fd.get(), hello.data(), hello.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(hello.size())) {
        return;
    }
    fd_ = std::move(fd);
    watch_ = g_unix_fd_add(
        fd_.get(), G_IO_IN,
        [](gint, GIOCondition, gpointer self) -> gboolean {
            static_cast<SwayFocus*>(self)->readable();
            return G_SOURCE_CONTINUE;
        },
        this);
}

SwayFocus::~SwayFocus() {
    if (watch_ != 0) {
        g_source_remove(watch_);
    }
}

void SwayFocus::refresh(int waitMs) {
    std::string ask = message(kGetTree, "");
    if (!fd_ ||
        send(fd_.get(), ask.data(), ask.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(ask.size())) {
        return;
    }
    std::uint64_t before = trees_;
    gint64 until = g_get_monotonic_time() + gint64{waitMs} * 1000;
    for (gint64 now = g_get_monotonic_time(); fd_ && trees_ == before && now < until;
         now = g_get_monotonic_time()) {
        pollfd wait{fd_.get(), POLLIN, 0};
        if (poll(&wait, 1, static_cast<int>((until - now + 999) / 1000)) > 0) {
            readable();
        }
    }
}

void SwayFocus::readable() {
    std::array<char, 65536> chunk{};
    ssize_t got = recv(fd_.get(), chunk.data(), chunk.size(), MSG_DONTWAIT);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        // The compositor has gone: nothing is known in front any more.
        g_source_remove(watch_);
        watch_ = 0;
        fd_.reset();
        focus(std::nullopt);
        return;
    }
    if (got > 0) {
        buffer_.append(chunk.data(), static_cast<std::size_t>(got));
    }
    while (buffer_.size() >= kHeader) {
        std::uint32_t length = 0;
        std::uint32_t type = 0;
        std::memcpy(&length, buffer_.data() + kMagic.size(), sizeof(length));
        std::memcpy(&type, buffer_.data() + kMagic.size() + 4, sizeof(type));
        if (buffer_.compare(0, kMagic.size(), kMagic) != 0 || length > kMaxMessage) {
            buffer_.clear();
            return;
        }
        if (buffer_.size() < kHeader + length) {
            return;
        }
        take(type, buffer_.substr(kHeader, length));
        buffer_.erase(0, kHeader + length);
    }
}

void SwayFocus::take(std::uint32_t type, const std::string& payload) {
    auto json = nlohmann::json::parse(payload, nullptr, false);
    if (json.is_discarded()) {
        return;
    }
    if (type == kGetTree) {
        ++trees_;
        focus(focusedIn(json));
    } else if (type == kWindowEvent && json.is_object()) {
        std::string change = json.value("change", "");
        const auto& container = json.value("container", nlohmann::json::object());
        if (change == "focus") {
            auto now = focusedIn(container);
            focus(now ? now : std::optional(Focused{}));
        } else if (change == "close" && focused_ && container.value("pid", 0) == focused_->pid &&
                   container.value("focused", false)) {
            focus(std::nullopt);
        } else if (focused_ && container.value("focused", false)) {
            // Moved, resized or renamed in front: the same window, in its new place.
            if (auto now = focusedIn(container)) {
                focused_->rect = now->rect;
            }
        }
    }
}

void SwayFocus::focus(std::optional<Focused> now) {
    bool same = focused_.has_value() == now.has_value() &&
                (!now || (now->id == focused_->id && now->pid == focused_->pid));
    focused_ = std::move(now);
    if (!same) {
        ++generation_;
    }
}

}  // namespace glimwick::os
