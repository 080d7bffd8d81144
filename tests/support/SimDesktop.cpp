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
        : desktop(desktop), pid(pid), callback_(std::move(callback)) {
        desktop.observers_.insert(this);
    }
    ~SimObserver() override { desktop.observers_.erase(this); }

    ax::AXError addNotification(const ax::ElementRef&, const std::string& name,
                                ax::Context context) override {
        desktop.record("add " + name);
        auto it = desktop.subscriptionResult.find(pid);
        ax::AXError result = it == desktop.subscriptionResult.end() ? 0 : it->second;
        if (result == 0 || result == ax::kAXErrorNotificationAlreadyRegistered) {
            subscriptions_[name] = std::move(context);
        }
        return result;
    }
    ax::AXError removeNotification(const ax::ElementRef&, const std::string& name) override {
        desktop.record("remove " + name);
        return subscriptions_.erase(name) > 0 ? ax::kAXErrorSuccess : ax::kAXErrorFailure;
    }
    RunLoopSource& runLoopSource() override { return *this; }
    void setInstalled(bool installed) override { installed_ = installed; }
    bool isInstalled() const override { return installed_; }

    void deliver(const std::string& name) {
        auto it = subscriptions_.find(name);
        if (installed_ && it != subscriptions_.end()) {
            ax::Context context = it->second;
            callback_(*this, desktop.applicationElement(pid), name, context);
        }
    }

    SimDesktop& desktop;
    const Pid pid;

private:
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

ax::ElementRef SimDesktop::addApplication(Pid pid, const std::string& name) {
    int id = nextId_++;
    nodes_[id] =
        Node{pid, {{"AXRole", {0, std::string("AXApplication")}}, {"AXTitle", {0, name}}}, {}};
    applications_[pid] = id;
    return handle(id);
}

ax::ElementRef SimDesktop::addElement(const ax::ElementRef& parent, const std::string& role) {
    int id = nextId_++;
    nodes_[id] =
        Node{nodes_.at(idOf(parent)).pid, {{"AXRole", {0, role}}, {"AXParent", {0, parent}}}, {}};
    return handle(id);
}

ax::ElementRef SimDesktop::applicationElement(Pid pid) const {
    auto it = applications_.find(pid);
    return it == applications_.end() ? nullptr : handle(it->second);
}

void SimDesktop::set(const ax::ElementRef& element, const std::string& attribute,
                     ax::Answer answer) {
    nodes_.at(idOf(element)).attributes[attribute] = std::move(answer);
}

void SimDesktop::unset(const ax::ElementRef& element, const std::string& attribute) {
    nodes_.at(idOf(element)).attributes.erase(attribute);
}

void SimDesktop::setParameterized(const ax::ElementRef& element, const std::string& attribute,
                                  ax::Answer answer) {
    nodes_.at(idOf(element)).parameterized[attribute] = std::move(answer);
}

void SimDesktop::setSelection(const ax::ElementRef& element, const std::string& text,
                              std::optional<ax::Range> range, std::optional<Rect> bounds) {
    set(element, "AXSelectedText", {0, text});
    if (range) {
        set(element, "AXSelectedTextRange", {0, ax::AXValue::range(*range)});
    } else {
        unset(element, "AXSelectedTextRange");
    }
    if (bounds) {
        setParameterized(element, "AXBoundsForRange", {0, ax::AXValue::rect(*bounds)});
    } else {
        nodes_.at(idOf(element)).parameterized.erase("AXBoundsForRange");
    }
}

void SimDesktop::focus(const ax::ElementRef& element) {
    focused_ = element ? std::optional(idOf(element)) : std::nullopt;
}

void SimDesktop::fire(Pid pid, const std::string& name) {
    std::vector<SimObserver*> targets;
    std::copy_if(observers_.begin(), observers_.end(), std::back_inserter(targets),
                 [pid](const SimObserver* observer) { return observer->pid == pid; });
    for (auto* observer : targets) {
        if (observers_.contains(observer)) {  // an earlier delivery may have removed it
            observer->deliver(name);
        }
    }
}

size_t SimDesktop::count(const std::string& call) const {
    return static_cast<size_t>(std::count(calls.begin(), calls.end(), call));
}

std::multiset<Pid> SimDesktop::installedObservers() const {
    std::multiset<Pid> pids;
    for (const auto* observer : observers_) {
        if (observer->isInstalled()) {
            pids.insert(observer->pid);
        }
    }
    return pids;
}

bool SimDesktop::isProcessTrusted(bool prompt) {
    trustPrompts.push_back(prompt);
    return trusted;
}

ax::ElementRef SimDesktop::createSystemWide() {
    return handle(kSystemWideId);
}

ax::ElementRef SimDesktop::createApplication(Pid pid) {
    // An application the desktop does not know still has an element, with nothing behind it.
    auto element = applicationElement(pid);
    return element ? element : addApplication(pid, "");
}

ax::Answer SimDesktop::copyAttributeValue(const ax::ElementRef& element,
                                          const std::string& attribute) {
    record("copy " + attribute);
    int id = idOf(element);
    if (id == kSystemWideId && attribute == "AXFocusedUIElement") {
        if (focusedElementAnswer) {
            return *focusedElementAnswer;
        }
        return focused_ ? ax::Answer{0, handle(*focused_)} : ax::Answer{ax::kAXErrorNoValue, {}};
    }
    if (id == kSystemWideId && attribute == "AXFocusedApplication") {
        if (focusedApplicationAnswer) {
            return *focusedApplicationAnswer;
        }
        auto app = focused_ ? applicationElement(nodes_.at(*focused_).pid) : nullptr;
        return app ? ax::Answer{0, app} : ax::Answer{ax::kAXErrorNoValue, {}};
    }
    auto found = nodes_.find(id);
    if (found == nodes_.end()) {
        return {ax::kAXErrorInvalidUIElement, std::nullopt};
    }
    auto it = found->second.attributes.find(attribute);
    return it == found->second.attributes.end()
               ? ax::Answer{ax::kAXErrorAttributeUnsupported, std::nullopt}
               : it->second;
}

ax::Answer SimDesktop::copyParameterizedAttributeValue(const ax::ElementRef& element,
                                                       const std::string& attribute,
                                                       const ax::Value& parameter) {
    record("param " + attribute);
    if (const auto* value = std::get_if<ax::AXValue>(&parameter)) {
        lastRange = value->asRange();
    }
    auto found = nodes_.find(idOf(element));
    if (found == nodes_.end()) {
        return {ax::kAXErrorInvalidUIElement, std::nullopt};
    }
    auto it = found->second.parameterized.find(attribute);
    return it == found->second.parameterized.end()
               ? ax::Answer{ax::kAXErrorParameterizedAttributeUnsupported, std::nullopt}
               : it->second;
}

Pid SimDesktop::getPid(const ax::ElementRef& element) {
    auto found = nodes_.find(idOf(element));
    return found == nodes_.end() ? 0 : found->second.pid;
}

std::optional<ax::AXValue> SimDesktop::createRangeValue(const ax::Range& range) {
    return failRangeCreation ? std::nullopt : std::optional(ax::AXValue::range(range));
}

ax::ObserverResult SimDesktop::createObserver(Pid pid, ax::ObserverCallback callback) {
    record("createObserver " + std::to_string(pid));
    auto it = observerCreationError.find(pid);
    if (it != observerCreationError.end() && it->second != ax::kAXErrorSuccess) {
        return {it->second, nullptr};
    }
    return {ax::kAXErrorSuccess, std::make_unique<SimObserver>(*this, pid, std::move(callback))};
}

}  // namespace glimwick::sim
