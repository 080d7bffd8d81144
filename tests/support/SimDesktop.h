#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Accessibility.h"

namespace glimwick::sim {

// A desktop of applications and elements that answers the accessibility interface. Every
// answer can be set, including errors and values of the wrong kind.
class SimDesktop : public ax::Accessibility {
public:
    SimDesktop();
    ~SimDesktop() override;

    ax::ElementRef addApplication(Pid pid, const std::string& name);
    ax::ElementRef addElement(const ax::ElementRef& parent, const std::string& role);
    ax::ElementRef applicationElement(Pid pid) const;

    void set(const ax::ElementRef& element, const std::string& attribute, ax::Answer answer);
    void unset(const ax::ElementRef& element, const std::string& attribute);
    // The same answer for every parameter.
    void setParameterized(const ax::ElementRef& element, const std::string& attribute,
                          ax::Answer answer);
    // Selected text, its range and its bounds, as a text element reports them.
    void setSelection(const ax::ElementRef& element, const std::string& text,
                      std::optional<ax::Range> range, std::optional<Rect> bounds);
    // The keyboard focus (and with it the focused application); nullptr for none.
    void focus(const ax::ElementRef& element);

    // Overrides of the system-wide answers.
    std::optional<ax::Answer> focusedElementAnswer;
    std::optional<ax::Answer> focusedApplicationAnswer;
    bool trusted = true;
    std::vector<bool> trustPrompts;  // the prompt flag of every trust query
    bool failRangeCreation = false;
    std::map<Pid, ax::AXError> observerCreationError;
    std::map<Pid, ax::AXError> subscriptionResult;

    // Delivers a notification from pid's application to the observers that would get it.
    void fire(Pid pid, const std::string& name);

    // "operation name" of every call ("copy AXRole", "param AXBoundsForRange", "add
    // AXSelectedTextChanged", "createObserver 100", ...), and the last range passed.
    std::vector<std::string> calls;
    std::optional<ax::Range> lastRange;
    bool recordCalls = true;
    size_t count(const std::string& call) const;
    // Pids with an observer installed on the run loop.
    std::multiset<Pid> installedObservers() const;

    // ax::Accessibility
    bool isProcessTrusted(bool prompt) override;
    ax::ElementRef createSystemWide() override;
    ax::ElementRef createApplication(Pid pid) override;
    ax::Answer copyAttributeValue(const ax::ElementRef& element,
                                  const std::string& attribute) override;
    ax::Answer copyParameterizedAttributeValue(const ax::ElementRef& element,
                                               const std::string& attribute,
                                               const ax::Value& parameter) override;
    Pid getPid(const ax::ElementRef& element) override;
    std::optional<ax::AXValue> createRangeValue(const ax::Range& range) override;
    ax::ObserverResult createObserver(Pid pid, ax::ObserverCallback callback) override;

    class SimObserver;

private:
    void record(const std::string& call) {
        if (recordCalls) {
            calls.push_back(call);
        }
    }
    struct Node {
        Pid pid = 0;
        std::map<std::string, ax::Answer> attributes;
        std::map<std::string, ax::Answer> parameterized;
    };
    int idOf(const ax::ElementRef& element) const;
    ax::ElementRef handle(int id) const;

    std::map<int, Node> nodes_;
    std::map<Pid, int> applications_;
    int nextId_ = 1;
    std::optional<int> focused_;
    std::set<SimObserver*> observers_;
};

}  // namespace glimwick::sim
