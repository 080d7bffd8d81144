#include "SimPlatform.h"

namespace glimwick::sim {

nlohmann::json Posted::payload() const {
    nlohmann::json parsed = nlohmann::json::parse(object.value_or(""), nullptr, false);
    return parsed.is_discarded() ? nlohmann::json(nullptr) : parsed;
}

NotificationCenter::Token SimNotificationCenter::addObserver(const std::string& name, Block block) {
    observers_.emplace(nextToken_, std::make_pair(name, std::make_shared<Block>(std::move(block))));
    return nextToken_++;
}

void SimNotificationCenter::deliver(const std::string& name, NotificationObject object) {
    Notification notification{name, std::move(object)};
    for (const auto& [token, entry] : observers_) {
        if (entry.first == name) {
            // Checked again at delivery: a removed observer gets nothing.
            queue_.async([block = std::weak_ptr<Block>(entry.second), notification] {
                if (auto live = block.lock()) {
                    (*live)(notification);
                }
            });
        }
    }
}

std::vector<std::string> SimNotificationCenter::registeredNames() const {
    std::vector<std::string> names;
    for (const auto& [token, entry] : observers_) {
        names.push_back(entry.first);
    }
    return names;
}

}  // namespace glimwick::sim
