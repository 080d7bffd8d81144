#pragma once

#include "platform/Accessibility.h"
#include "platform/Application.h"
#include "platform/Console.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/ProcessInfo.h"
#include "platform/Workspace.h"

namespace glimwick {

// Every platform service the logic calls, as interfaces. The platform owns them and outlives
// everything that holds this.
struct Platform {
    MainQueue& queue;
    NotificationCenter& notificationCenter;
    ProcessInfo& process;
    Workspace& workspace;
    ax::Accessibility& accessibility;
    Console& console;
    Application& application;
};

}  // namespace glimwick
