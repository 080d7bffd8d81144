#pragma once

#include <memory>

#include "platform/Platform.h"
#include "service/HelperService.h"

namespace glimwick {

// Owns the one command service; prints the banner and the exit line around its life.
class HelperAppDelegate : public ApplicationDelegate {
public:
    explicit HelperAppDelegate(const Platform& platform);

    void applicationDidFinishLaunching() override;
    void applicationWillTerminate() override;

    const std::shared_ptr<HelperService> helperService;

private:
    Platform platform_;
};

}  // namespace glimwick
