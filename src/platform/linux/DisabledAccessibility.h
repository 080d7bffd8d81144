#pragma once

#include "platform/Accessibility.h"

namespace glimwick::os {

// Accessibility as a system answers where the interface is turned off: not trusted, and every
// request fails with kAXErrorAPIDisabled.
class DisabledAccessibility : public ax::Accessibility {
public:
    bool isProcessTrusted(bool /*prompt*/) override { return false; }
    ax::ElementRef createSystemWide() override { return std::make_shared<ax::Element>(); }
    ax::ElementRef createApplication(Pid /*pid*/) override { return std::make_shared<ax::Element>(); }
    ax::Answer copyAttributeValue(const ax::ElementRef&, const std::string&) override {
        return {ax::kAXErrorAPIDisabled, std::nullopt};
    }
    ax::Answer copyParameterizedAttributeValue(const ax::ElementRef&, const std::string&,
                                               const ax::Value&) override {
        return {ax::kAXErrorAPIDisabled, std::nullopt};
    }
    Pid getPid(const ax::ElementRef&) override { return 0; }
    std::optional<ax::AXValue> createRangeValue(const ax::Range& range) override {
        return ax::AXValue::range(range);
    }
    ax::ObserverResult createObserver(Pid, ax::ObserverCallback) override {
        return {ax::kAXErrorAPIDisabled, nullptr};
    }
};

}  // namespace glimwick::os
