#pragma once

#include "platform/MainQueue.h"

namespace glimwick {

class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    virtual void applicationDidFinishLaunching() = 0;
    virtual void applicationWillTerminate() = 0;
};

// The application object: runs the main loop and carries out an orderly termination.
class Application {
public:
    explicit Application(MainQueue& queue) : queue_(queue) {}

    // The delegate is not owned.
    void setDelegate(ApplicationDelegate* delegate) { delegate_ = delegate; }

    // Finishes launching on the loop's first turn, then runs until terminated.
    void run();
    // Tells the delegate that launching has finished; only the first call does anything.
    void finishLaunching();
    // Tells the delegate, then ends the run loop; only the first call does anything.
    void terminate();

    bool isTerminated() const { return terminated_; }

private:
    MainQueue& queue_;
    ApplicationDelegate* delegate_ = nullptr;
    bool launched_ = false;
    bool terminated_ = false;
};

}  // namespace glimwick
