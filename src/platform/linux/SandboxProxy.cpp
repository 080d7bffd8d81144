#include "platform/linux/SandboxProxy.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "platform/linux/UniqueFd.h"

namespace glimwick::os {

namespace {

namespace fs = std::filesystem;
using Inode = std::uint64_t;

std::string procText(Pid pid, const char* entry) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/" + entry);
    std::string text;
    std::getline(file, text, '\0');
    return text;
}

std::string commandOf(Pid pid) {
    std::string name = procText(pid, "comm");
    while (!name.empty() && name.back() == '\n') {
        name.pop_back();
    }
    return name;
}

// When pid started, in clock ticks since boot (the 22nd field of its stat).
std::optional<std::uint64_t> startOf(Pid pid) {
    std::string stat = procText(pid, "stat");
    auto name = stat.rfind(')');
    if (name == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(stat.substr(name + 1));
    std::uint64_t value = 0;
    std::string skipped;
    for (int field = 3; field < 22; ++field) {
        if (!(fields >> skipped)) {
            return std::nullopt;
        }
    }
    return fields >> value ? std::optional(value) : std::nullopt;
}

// The sockets pid holds open, by inode.
std::unordered_set<Inode> socketsOf(Pid pid) {
    std::unordered_set<Inode> sockets;
    std::error_code error;
    constexpr std::string_view kSocket = "socket:[";
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        std::string target = fs::read_symlink(fd.path(), error).string();
        if (!error && target.rfind(kSocket, 0) == 0) {
            Inode inode = 0;
            const char* digits = target.data() + kSocket.size();
            if (std::from_chars(digits, target.data() + target.size(), inode).ec == std::errc()) {
                sockets.insert(inode);
            }
        }
    }
    return sockets;
}

// The other end of each connected Unix socket of this network namespace, by the kernel's
// socket diagnostics (what ss reads).
std::unordered_map<Inode, Inode> unixPeers() {
    std::unordered_map<Inode, Inode> peers;
    UniqueFd diag(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!diag) {
        return peers;
    }
    struct {
        nlmsghdr header;
        unix_diag_req request;
    } ask{};
    ask.header.nlmsg_len = sizeof(ask);
    ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    ask.request.sdiag_family = AF_UNIX;
    ask.request.udiag_states = ~0U;
    ask.request.udiag_show = UDIAG_SHOW_PEER;
    if (send(diag.get(), &ask, sizeof(ask), 0) != static_cast<ssize_t>(sizeof(ask))) {
        return peers;
    }
    alignas(nlmsghdr) std::array<char, 32768> buffer{};
    for (;;) {
        ssize_t got = recv(diag.get(), buffer.data(), buffer.size(), 0);
        if (got <= 0) {
            return peers;
        }
        auto left = static_cast<unsigned int>(got);
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(header, left);
             header = NLMSG_NEXT(header, left)) {
            if (header->nlmsg_type == NLMSG_DONE || header->nlmsg_type == NLMSG_ERROR) {
                return peers;
            }
            const auto* message = static_cast<const unix_diag_msg*>(NLMSG_DATA(header));
            auto length = static_cast<int>(header->nlmsg_len - NLMSG_LENGTH(sizeof(*message)));
            for (auto* attribute =
                     reinterpret_cast<rtattr*>(const_cast<unix_diag_msg*>(message) + 1);
                 RTA_OK(attribute, length); attribute = RTA_NEXT(attribute, length)) {
                if (attribute->rta_type == UNIX_DIAG_PEER) {
                    peers[message->udiag_ino] =
                        *static_cast<const std::uint32_t*>(RTA_DATA(attribute));
                }
            }
        }
    }
}

}  // namespace

Pid processBehindProxy(Pid pid) {
    if (pid <= 0 || commandOf(pid) != "xdg-dbus-proxy") {
        return pid;
    }
    // The far ends of the proxy's connections: its clients', and the buses' own.
    auto peers = unixPeers();
    std::unordered_set<Inode> far;
    for (Inode inode : socketsOf(pid)) {
        if (auto peer = peers.find(inode); peer != peers.end() && peer->second != 0) {
            far.insert(peer->second);
        }
    }
    std::set<std::pair<std::uint64_t, Pid>> clients;  // by when they started
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        Pid candidate = 0;
        std::string name = entry.path().filename().string();
        if (std::from_chars(name.data(), name.data() + name.size(), candidate).ec != std::errc() ||
            candidate == pid || far.empty()) {
            continue;
        }
        bool holds = false;
        for (Inode inode : socketsOf(candidate)) {
            holds = holds || far.count(inode) > 0;
        }
        // The buses' daemons hold the far ends of the proxy's own connections upstream.
        if (holds && commandOf(candidate).rfind("dbus-", 0) != 0) {
            if (auto start = startOf(candidate)) {
                clients.emplace(*start, candidate);
            }
        }
    }
    return clients.empty() ? pid : clients.begin()->second;
}

}  // namespace glimwick::os
