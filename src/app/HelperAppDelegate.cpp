#include "app/HelperAppDelegate.h"

#include "diagnostics/Messages.h"

namespace glimwick {

HelperAppDelegate::HelperAppDelegate(const Platform& platform)
    : helperService(HelperService::create(platform)), platform_(platform) {}

void HelperAppDelegate::applicationDidFinishLaunching() {
    Console& console = platform_.console;
    console.writeLine(msg::kBannerRule);
    console.writeLine(msg::kBannerStarted);
    console.writeLine(msg::bannerSystem(platform_.process.operatingSystemVersionString()));
    console.writeLine(msg::kBannerRule);
    helperService->start();
}

void HelperAppDelegate::applicationWillTerminate() {
    helperService->teardown();
    platform_.console.writeLine(msg::kExitLine);
}

}  // namespace glimwick
