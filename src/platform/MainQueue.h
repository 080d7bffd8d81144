#pragma once

#include <cstdint>
#include <functional>

namespace glimwick {

class RunLoopSource;

// The main thread's run loop and dispatch queue. Everything the helper does runs here.
class MainQueue {
public:
    using Block = std::function<void()>;
    using WorkId = std::uint64_t;

    virtual ~MainQueue() = default;

    // Runs block on a later turn of the loop.
    virtual void async(Block block) = 0;
    // Runs block once, delaySeconds from now; the id lets the caller cancel it.
    virtual WorkId asyncAfter(double delaySeconds, Block block) = 0;
    // Runs block every intervalSeconds until cancelled.
    virtual WorkId scheduleRepeating(double intervalSeconds, Block block) = 0;
    // Cancelling work that has already run, or an unknown id, does nothing.
    virtual void cancel(WorkId id) = 0;

    // Monotonic seconds.
    virtual double now() const = 0;

    virtual void addSource(RunLoopSource& source) = 0;
    virtual void removeSource(RunLoopSource& source) = 0;

    virtual void run() = 0;
    virtual void quit() = 0;
};

// Something that delivers callbacks on the main loop only while installed
// (an accessibility observer's event stream).
class RunLoopSource {
public:
    virtual ~RunLoopSource() = default;
    virtual void setInstalled(bool installed) = 0;
    virtual bool isInstalled() const = 0;
};

// A cancellable delayed item or repeating timer. Owning one means owning the pending work:
// destroying the handle cancels it.
class ScheduledWork {
public:
    ScheduledWork() = default;
    ScheduledWork(MainQueue& queue, MainQueue::WorkId id) : queue_(&queue), id_(id) {}
    ScheduledWork(const ScheduledWork&) = delete;
    ScheduledWork& operator=(const ScheduledWork&) = delete;
    ScheduledWork(ScheduledWork&& other) noexcept { *this = std::move(other); }
    ScheduledWork& operator=(ScheduledWork&& other) noexcept {
        if (this != &other) {
            cancel();
            queue_ = other.queue_;
            id_ = other.id_;
            other.queue_ = nullptr;
        }
        return *this;
    }
    ~ScheduledWork() { cancel(); }

    void cancel() {
        if (queue_ != nullptr) {
            queue_->cancel(id_);
            queue_ = nullptr;
        }
    }

private:
    MainQueue* queue_ = nullptr;
    MainQueue::WorkId id_ = 0;
};

}  // namespace glimwick
