#include "platform/Application.h"

namespace glimwick {

void Application::run() {
    queue_.async([this] { finishLaunching(); });
    queue_.run();
}

void Application::finishLaunching() {
    if (launched_ || terminated_) {
        return;
    }
    launched_ = true;
    if (delegate_ != nullptr) {
        delegate_->applicationDidFinishLaunching();
    }
}

void Application::terminate() {
    if (terminated_) {
        return;
    }
    terminated_ = true;
    if (delegate_ != nullptr) {
        delegate_->applicationWillTerminate();
    }
    queue_.quit();
}

}  // namespace glimwick
