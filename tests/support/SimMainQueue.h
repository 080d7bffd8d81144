#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <tuple>

#include "platform/MainQueue.h"

namespace glimwick::sim {

// A main queue on a virtual clock. Nothing runs until the test advances time; then every item
// that falls due runs in order of its due time (ties in order of scheduling).
class SimMainQueue : public MainQueue {
public:
    void async(Block block) override { schedule(0, std::move(block), 0); }
    WorkId asyncAfter(double delaySeconds, Block block) override {
        return schedule(delaySeconds, std::move(block), 0);
    }
    WorkId scheduleRepeating(double intervalSeconds, Block block) override {
        return schedule(intervalSeconds, std::move(block), intervalSeconds);
    }
    void cancel(WorkId id) override;
    double now() const override { return now_; }
    void addSource(RunLoopSource& source) override { source.setInstalled(true); }
    void removeSource(RunLoopSource& source) override { source.setInstalled(false); }
    // Runs until quit or until nothing is left to do.
    void run() override;
    void quit() override { quitRequested_ = true; }

    // Moves the clock forward, running everything that falls due on the way.
    void advance(double seconds);
    // Runs what is due now (asynchronous blocks included).
    void drain() { advance(0); }

    bool quitRequested() const { return quitRequested_; }
    size_t pendingCount() const { return items_.size(); }
    size_t repeatingCount() const;

private:
    struct Item {
        double due;
        double interval;
        Block block;
        std::uint64_t order;
    };
    using Key = std::tuple<double, std::uint64_t, WorkId>;

    WorkId schedule(double delay, Block block, double interval);
    bool runNext(double until);

    double now_ = 1000.0;  // A monotonic clock is far from zero.
    std::map<WorkId, Item> items_;
    std::set<Key> order_;
    WorkId nextId_ = 1;
    std::uint64_t nextOrder_ = 1;
    bool quitRequested_ = false;
};

}  // namespace glimwick::sim
