#include "platform/linux/GLibMainQueue.h"

#include <cmath>

namespace glimwick::os {

namespace {

guint toMilliseconds(double seconds) {
    if (!(seconds > 0)) {
        return 0;
    }
    return static_cast<guint>(std::llround(std::fmin(seconds * 1000.0, 4.0e9)));
}

}  // namespace

GLibMainQueue::GLibMainQueue() : loop_(g_main_loop_new(nullptr, FALSE), g_main_loop_unref) {}

GLibMainQueue::~GLibMainQueue() {
    for (auto& [id, entry] : entries_) {
        g_source_destroy(entry->source.get());
    }
}

MainQueue::WorkId GLibMainQueue::add(GSource* source, Block block, bool repeats) {
    WorkId id = nextId_++;
    auto entry =
        std::make_unique<Entry>(Entry{this, id, std::move(block), repeats, GSourcePtr(source)});
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    // The entry outlives the source's callbacks: it is erased only after the source is destroyed.
    g_source_set_callback(source, &GLibMainQueue::dispatch, entry.get(), nullptr);
    g_source_attach(source, nullptr);
    entries_.emplace(id, std::move(entry));
    return id;
}

void GLibMainQueue::async(Block block) {
    add(g_idle_source_new(), std::move(block), false);
}

MainQueue::WorkId GLibMainQueue::asyncAfter(double delaySeconds, Block block) {
    return add(g_timeout_source_new(toMilliseconds(delaySeconds)), std::move(block), false);
}

MainQueue::WorkId GLibMainQueue::scheduleRepeating(double intervalSeconds, Block block) {
    return add(g_timeout_source_new(toMilliseconds(intervalSeconds)), std::move(block), true);
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
    if (!entry->repeats) {
        Block block = std::move(entry->block);
        queue->entries_.erase(id);
        block();
        return G_SOURCE_REMOVE;
    }
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
