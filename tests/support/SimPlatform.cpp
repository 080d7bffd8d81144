#include "SimPlatform.h"

namespace glimwick::sim {

nlohmann::json Posted::payload() const {
    if (!object) {
        return nullptr;
    }
    nlohmann::json parsed = nlohmann::json::parse(*object, nullptr, false);
    return parsed.is_discarded() ? nlohmann::json(nullptr) : parsed;
}

NotificationCenter::Token SimNotificationCenter::addObserver(const std::string& name, Block block) {
    Token token = nextToken_++;
    observers_.emplace(token, std::make_pair(name, std::make_shared<Block>(std::move(block))));
    return token;
}

void SimNotificationCenter::removeObserver(Token token) {
    observers_.erase(token);
}

void SimNotificationCenter::post(const std::string& name,
                                 const std::optional<std::string>& object) {
    if (record) {
        posts.push_back({name, object});
        journal_.entries.push_back("post " + name);
    }
}

void SimNotificationCenter::deliver(const std::string& name, NotificationObject object) {
    Notification notification{name, std::move(object)};
    for (const auto& [token, entry] : observers_) {
        if (entry.first != name) {
            continue;
        }
        // The registration is checked again at delivery: a removed observer gets nothing.
        std::weak_ptr<Block> block = entry.second;
        queue_.async([block, notification] {
            if (auto live = block.lock()) {
                (*live)(notification);
            }
        });
    }
}

std::vector<std::string> SimNotificationCenter::registeredNames() const {
    std::vector<std::string> names;
    for (const auto& [token, entry] : observers_) {
        names.push_back(entry.first);
    }
    return names;
}

std::vector<NotificationCenter::Token> SimNotificationCenter::liveTokens() const {
    std::vector<Token> tokens;
    for (const auto& [token, entry] : observers_) {
        tokens.push_back(token);
    }
    return tokens;
}

SimPlatform::SimPlatform() = default;

Platform SimPlatform::platform() {
    return Platform{queue, center, process, workspace, desktop, console, application};
}

}  // namespace glimwick::sim
