#include "SimMainQueue.h"

namespace glimwick::sim {

namespace {
// Sums of decimal intervals differ in the last bits; a test that advances 0.2 + 0.2 means 0.4.
constexpr double kTolerance = 1e-9;
}  // namespace

MainQueue::WorkId SimMainQueue::schedule(double delay, Block block, double interval) {
    WorkId id = nextId_++;
    Item item{now_ + (delay > 0 ? delay : 0), interval, std::move(block), nextOrder_++};
    order_.emplace(item.due, item.order, id);
    items_.emplace(id, std::move(item));
    return id;
}

void SimMainQueue::cancel(WorkId id) {
    auto it = items_.find(id);
    if (it == items_.end()) {
        return;
    }
    order_.erase({it->second.due, it->second.order, id});
    items_.erase(it);
}

bool SimMainQueue::runNext(double until) {
    if (order_.empty()) {
        return false;
    }
    auto [due, order, id] = *order_.begin();
    if (due > until + kTolerance) {
        return false;
    }
    order_.erase(order_.begin());
    Item& item = items_.at(id);
    if (due > now_) {
        now_ = due;
    }
    if (item.interval > 0) {
        item.due = due + item.interval;
        item.order = nextOrder_++;
        order_.emplace(item.due, item.order, id);
        Block block = item.block;  // The block may cancel its own timer.
        block();
    } else {
        Block block = std::move(item.block);
        items_.erase(id);
        block();
    }
    return true;
}

void SimMainQueue::advance(double seconds) {
    double until = now_ + (seconds > 0 ? seconds : 0);
    while (runNext(until)) {
    }
    now_ = until;
}

void SimMainQueue::run() {
    while (!quitRequested_ && !order_.empty()) {
        runNext(std::get<0>(*order_.begin()));
    }
}

size_t SimMainQueue::repeatingCount() const {
    size_t n = 0;
    for (const auto& [id, item] : items_) {
        n += item.interval > 0 ? 1 : 0;
    }
    return n;
}

}  // namespace glimwick::sim
