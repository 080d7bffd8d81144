#include "platform/linux/GLibMainQueue.h"

#include <algorithm>
#include <cmath>

namespace glimwick::os {

namespace {

gint64 toMicroseconds(double seconds) {
    if (!(seconds > 0)) {
        return 0;
    }
    return static_cast<gint64>(std::llround(std::fmin(seconds * 1e6, 1e15)));
}

// A source that becomes ready at a set monotonic time, to the microsecond.
GSource* timedSource(gint64 due) {
    static GSourceFuncs funcs = {nullptr,
                                 nullptr,
                                 [](GSource*, GSourceFunc callback, gpointer data) { return callback(data); },
                                 nullptr,
                                 nullptr,
                                 nullptr};
    GSource* source = g_source_new(&funcs, sizeof(GSource));
    g_source_set_ready_time(source, due);
    return source;
}

}  // namespace

GLibMainQueue::GLibMainQueue() : loop_(g_main_loop_new(nullptr, FALSE), g_main_loop_unref) {}

GLibMainQueue::~GLibMainQueue() {
    for (auto& [id, entry] : entries_) {
        g_source_destroy(entry->source.get());
    }
}

MainQueue::WorkId GLibMainQueue::add(GSource* source, Block block, gint64 interval, gint64 due) {
    WorkId id = nextId_++;
    auto entry = std::make_unique<Entry>(
        Entry{this, id, std::move(block), interval, due, GSourcePtr(source)});
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    // The entry outlives the source's callbacks: it is erased only after the source is destroyed.
    g_source_set_callback(source, &GLibMainQueue::dispatch, entry.get(), nullptr);
    g_source_attach(source, nullptr);
    entries_.emplace(id, std::move(entry));
    return id;
}

void GLibMainQueue::async(Block block) {
    add(g_idle_source_new(), std::move(block), 0, 0);
}

MainQueue::WorkId GLibMainQueue::asyncAfter(double delaySeconds, Block block) {
    gint64 due = g_get_monotonic_time() + toMicroseconds(delaySeconds);
    return add(timedSource(due), std::move(block), 0, due);
}

MainQueue::WorkId GLibMainQueue::scheduleRepeating(double intervalSeconds, Block block) {
    // At least a microsecond, or the timer would spin.
    gint64 interval = std::max<gint64>(1, toMicroseconds(intervalSeconds));
    gint64 due = g_get_monotonic_time() + interval;
    return add(timedSource(due), std::move(block), interval, due);
}

void GLibMainQueue::cancel(WorkId id) {
    auto it = entries_.find(id);
    if (it == entries_.end()) {
        return;
    }
    g_source_destroy(it->second->source.get());
    entries_.erase(it);
}

gboolean GLibMainQueue::dispatch(gpointer data) {
    auto* entry = static_cast<Entry*>(data);
    GLibMainQueue* queue = entry->queue;
    WorkId id = entry->id;
    if (entry->interval == 0) {
        Block block = std::move(entry->block);
        queue->entries_.erase(id);
        block();
        return G_SOURCE_REMOVE;
    }
    // A repeating timer keeps its schedule, as a wall timer would: the next run is one interval
    // after this one was due, not after it ran, skipping runs that were missed altogether.
    gint64 now = g_get_monotonic_time();
    entry->due += entry->interval;
    if (entry->due <= now) {
        entry->due += ((now - entry->due) / entry->interval + 1) * entry->interval;
    }
    g_source_set_ready_time(entry->source.get(), entry->due);
    // The block may cancel its own timer; keep a copy alive while it runs.
    Block block = entry->block;
    block();
    return queue->entries_.contains(id) ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

double GLibMainQueue::now() const {
    return static_cast<double>(g_get_monotonic_time()) / 1e6;
}

void GLibMainQueue::run() {
    g_main_loop_run(loop_.get());
}

void GLibMainQueue::quit() {
    g_main_loop_quit(loop_.get());
}

}  // namespace glimwick::os
