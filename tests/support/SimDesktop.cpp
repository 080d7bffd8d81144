#include "SimDesktop.h"

#include <algorithm>

namespace glimwick::sim {

namespace {

constexpr int kSystemWideId = 0;

struct SimElement : ax::Element {
    explicit SimElement(int id) : id(id) {}
    int id;
};

}  // namespace

class SimDesktop::SimObserver : public ax::Observer, public RunLoopSource {
public:
    SimObserver(SimDesktop& desktop, Pid pid, ax::ObserverCallback callback)
        : desktop_(desktop), pid_(pid), callback_(std::move(callback)) {
        desktop_.observers_.insert(this);
    }
    ~SimObserver() override { desktop_.observers_.erase(this); }

    ax::AXError addNotification(const ax::ElementRef&, const std::string& name,
                                ax::Context context) override {
        desktop_.record({"add", name, std::nullopt});
        auto it = desktop_.subscriptionResult.find(pid_);
        ax::AXError result =
            it == desktop_.subscriptionResult.end() ? ax::kAXErrorSuccess : it->second;
        if (result == ax::kAXErrorSuccess || result == ax::kAXErrorNotificationAlreadyRegistered) {
            subscriptions_[name] = std::move(context);
        }
        return result;
    }
    ax::AXError removeNotification(const ax::ElementRef&, const std::string& name) override {
        desktop_.record({"remove", name, std::nullopt});
        return subscriptions_.erase(name) > 0 ? ax::kAXErrorSuccess : ax::kAXErrorFailure;
    }
    RunLoopSource& runLoopSource() override { return *this; }
    void setInstalled(bool installed) override { installed_ = installed; }
    bool isInstalled() const override { return installed_; }

    Pid pid() const { return pid_; }
    void deliver(const std::string& name) {
        auto it = subscriptions_.find(name);
        if (!installed_ || it == subscriptions_.end()) {
            return;
        }
        ax::Context context = it->second;
        callback_(*this, desktop_.applicationElement(pid_), name, context);
    }

private:
    SimDesktop& desktop_;
    Pid pid_;
    ax::ObserverCallback callback_;
    std::map<std::string, ax::Context> subscriptions_;
    bool installed_ = false;
};

SimDesktop::SimDesktop() {
    nodes_[kSystemWideId] = Node{};
}

SimDesktop::~SimDesktop() = default;

int SimDesktop::idOf(const ax::ElementRef& element) const {
    const auto* sim = dynamic_cast<const SimElement*>(element.get());
    return sim != nullptr ? sim->id : -1;
}

ax::ElementRef SimDesktop::handle(int id) const {
    return std::make_shared<SimElement>(id);
}

SimDesktop::Node& SimDesktop::node(const ax::ElementRef& element) {
    return nodes_.at(idOf(element));
}

ax::ElementRef SimDesktop::addApplication(Pid pid, const std::string& name) {
    int id = nextId_++;
    Node app{pid, {}, {}};
    app.attributes["AXRole"] = {ax::kAXErrorSuccess, std::string("AXApplication")};
    app.attributes["AXTitle"] = {ax::kAXErrorSuccess, name};
    nodes_[id] = std::move(app);
    applications_[pid] = id;
    return handle(id);
}

ax::ElementRef SimDesktop::addElement(const ax::ElementRef& parent, const std::string& role) {
    int id = nextId_++;
    Node element{node(parent).pid, {}, {}};
    element.attributes["AXRole"] = {ax::kAXErrorSuccess, role};
    element.attributes["AXParent"] = {ax::kAXErrorSuccess, parent};
    nodes_[id] = std::move(element);
    return handle(id);
}

ax::ElementRef SimDesktop::applicationElement(Pid pid) const {
    auto it = applications_.find(pid);
    return it == applications_.end() ? nullptr : handle(it->second);
}

void SimDesktop::set(const ax::ElementRef& element, const std::string& attribute,
                     ax::Answer answer) {
    node(element).attributes[attribute] = std::move(answer);
}

void SimDesktop::unset(const ax::ElementRef& element, const std::string& attribute) {
    node(element).attributes.erase(attribute);
}

void SimDesktop::setParameterized(const ax::ElementRef& element, const std::string& attribute,
                                  ax::Answer answer) {
    node(element).parameterized[attribute] = std::move(answer);
}

void SimDesktop::setSelection(const ax::ElementRef& element, const std::string& text,
                              std::optional<ax::Range> range, std::optional<Rect> bounds) {
    set(element, "AXSelectedText", {ax::kAXErrorSuccess, text});
    if (range) {
        set(element, "AXSelectedTextRange", {ax::kAXErrorSuccess, ax::AXValue::range(*range)});
    } else {
        unset(element, "AXSelectedTextRange");
    }
    if (bounds) {
        setParameterized(element, "AXBoundsForRange",
                         {ax::kAXErrorSuccess, ax::AXValue::rect(*bounds)});
    } else {
        node(element).parameterized.erase("AXBoundsForRange");
    }
}

void SimDesktop::focus(const ax::ElementRef& element) {
    focused_ = idOf(element);
}

void SimDesktop::clearFocus() {
    focused_.reset();
}

void SimDesktop::fire(Pid pid, const std::string& name) {
    std::vector<SimObserver*> targets;
    for (auto* observer : observers_) {
        if (observer->pid() == pid) {
            targets.push_back(observer);
        }
    }
    for (auto* observer : targets) {
        if (observers_.contains(observer)) {
            observer->deliver(name);
        }
    }
}

size_t SimDesktop::countOf(const std::string& operation, const std::string& name) const {
    return static_cast<size_t>(std::count_if(calls.begin(), calls.end(), [&](const Call& call) {
        return call.operation == operation && call.name == name;
    }));
}

bool SimDesktop::hasInstalledObserver(Pid pid) const {
    return std::any_of(observers_.begin(), observers_.end(), [pid](const SimObserver* observer) {
        return observer->pid() == pid && observer->isInstalled();
    });
}

bool SimDesktop::isProcessTrusted(bool prompt) {
    trustPrompts.push_back(prompt);
    return trusted;
}

ax::ElementRef SimDesktop::createSystemWide() {
    return handle(kSystemWideId);
}

ax::ElementRef SimDesktop::createApplication(Pid pid) {
    auto element = applicationElement(pid);
    if (element) {
        return element;
    }
    // An application the desktop does not know still has an element, with nothing behind it.
    return addApplication(pid, "");
}

ax::Answer SimDesktop::copyAttributeValue(const ax::ElementRef& element,
                                          const std::string& attribute) {
    record({"copy", attribute, std::nullopt});
    int id = idOf(element);
    if (id == kSystemWideId) {
        if (attribute == "AXFocusedUIElement") {
            if (focusedElementAnswer) {
                return *focusedElementAnswer;
            }
            return focused_ ? ax::Answer{ax::kAXErrorSuccess, handle(*focused_)}
                            : ax::Answer{ax::kAXErrorNoValue, std::nullopt};
        }
        if (attribute == "AXFocusedApplication") {
            if (focusedApplicationAnswer) {
                return *focusedApplicationAnswer;
            }
            if (focused_) {
                if (auto app = applicationElement(nodes_.at(*focused_).pid)) {
                    return {ax::kAXErrorSuccess, app};
                }
            }
            return {ax::kAXErrorNoValue, std::nullopt};
        }
    }
    auto found = nodes_.find(id);
    if (found == nodes_.end()) {
        return {ax::kAXErrorInvalidUIElement, std::nullopt};
    }
    auto it = found->second.attributes.find(attribute);
    if (it == found->second.attributes.end()) {
        return {ax::kAXErrorAttributeUnsupported, std::nullopt};
    }
    return it->second;
}

ax::Answer SimDesktop::copyParameterizedAttributeValue(const ax::ElementRef& element,
                                                       const std::string& attribute,
                                                       const ax::Value& parameter) {
    std::optional<ax::Range> range;
    if (const auto* value = std::get_if<ax::AXValue>(&parameter)) {
        range = value->asRange();
    }
    record({"param", attribute, range});
    auto found = nodes_.find(idOf(element));
    if (found == nodes_.end()) {
        return {ax::kAXErrorInvalidUIElement, std::nullopt};
    }
    auto it = found->second.parameterized.find(attribute);
    if (it == found->second.parameterized.end()) {
        return {ax::kAXErrorParameterizedAttributeUnsupported, std::nullopt};
    }
    return it->second;
}

Pid SimDesktop::getPid(const ax::ElementRef& element) {
    record({"getPid", "", std::nullopt});
    auto found = nodes_.find(idOf(element));
    return found == nodes_.end() ? 0 : found->second.pid;
}

std::optional<ax::AXValue> SimDesktop::createRangeValue(const ax::Range& range) {
    record({"createRange", "", range});
    if (failRangeCreation) {
        return std::nullopt;
    }
    return ax::AXValue::range(range);
}

ax::ObserverResult SimDesktop::createObserver(Pid pid, ax::ObserverCallback callback) {
    record({"createObserver", std::to_string(pid), std::nullopt});
    auto it = observerCreationError.find(pid);
    if (it != observerCreationError.end() && it->second != ax::kAXErrorSuccess) {
        return {it->second, nullptr};
    }
    return {ax::kAXErrorSuccess, std::make_unique<SimObserver>(*this, pid, std::move(callback))};
}

}  // namespace glimwick::sim
