#pragma once

#include <glib.h>

#include <memory>
#include <unordered_map>

#include "platform/MainQueue.h"
#include "platform/linux/GObjectPtr.h"

namespace glimwick::os {

// The main queue on the GLib main loop of the default main context.
class GLibMainQueue : public MainQueue {
public:
    GLibMainQueue();
    ~GLibMainQueue() override;

    void async(Block block) override;
    WorkId asyncAfter(double delaySeconds, Block block) override;
    WorkId scheduleRepeating(double intervalSeconds, Block block) override;
    void cancel(WorkId id) override;
    double now() const override;
    void addSource(RunLoopSource& source) override { source.setInstalled(true); }
    void removeSource(RunLoopSource& source) override { source.setInstalled(false); }
    void run() override;
    void quit() override;

private:
    struct Entry {
        GLibMainQueue* queue;
        WorkId id;
        Block block;
        gint64 interval;  // microseconds; 0 for one-shot work
        gint64 due;       // monotonic microseconds of the next run
        GSourcePtr source;
    };
    WorkId add(GSource* source, Block block, gint64 interval, gint64 due);
    static gboolean dispatch(gpointer data);

    std::unique_ptr<GMainLoop, void (*)(GMainLoop*)> loop_;
    std::unordered_map<WorkId, std::unique_ptr<Entry>> entries_;
    WorkId nextId_ = 1;
};

}  // namespace glimwick::os
