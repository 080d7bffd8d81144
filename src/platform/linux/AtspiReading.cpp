#include "platform/linux/AtspiAccessibility.h"

#include <algorithm>
#include <utility>

#include "platform/linux/AtspiObserver.h"

// The kept reading of the focused object's selection: made once, served while it is true.

namespace glimwick::os {

namespace {

// What a reading must leave of its turn to be given out in it.
constexpr gint64 kHandOutReserveUs = gint64{400} * 1000;
// A reading that took this long is kept while the application's events say nothing changed,
// without asking for its selection again (which costs a browser as much as the reading).
constexpr gint64 kCostlyReadingUs = gint64{50} * 1000;
// Even then its range is checked again after this long, for applications that send none.
constexpr gint64 kReadingLifetimeUs = gint64{2} * G_USEC_PER_SEC;
// Firefox places a new selection about 0.1 s after it announces it (on Wayland, an empty box
// first): a reading without a place is measured again for this long, which takes in the
// evaluation after the 0.2 s debounce. Not a selection of many objects, whose measuring costs
// the application as much as its reading.
constexpr gint64 kBoundsSettleUs = gint64{300} * 1000;
constexpr size_t kMaxSettlingSpans = 32;

}  // namespace

void AtspiAccessibility::heard(const char* bus, bool caret) {
    Heard& from = heard_[bus];
    ++(caret ? from.carets : from.selections);
}

bool AtspiAccessibility::eventsArrive(AtspiAccessible* accessible) const {
    const char* bus = busNameOf(accessible);
    if (bus == nullptr || unannounced_.count(bus) != 0) {
        return false;
    }
    return std::any_of(observers_.begin(), observers_.end(),
                       [bus](const Observer* observer) { return observer->hears(bus); });
}

AtspiAccessibility::Heard AtspiAccessibility::heardOf(AtspiAccessible* accessible) const {
    const char* bus = busNameOf(accessible);
    auto found = bus != nullptr ? heard_.find(bus) : heard_.end();
    return found != heard_.end() ? found->second : Heard{};
}

// One reading serves every question of one evaluation, so that the text, the range and the
// bounds agree. It serves later evaluations too while nothing can have changed unheard: the
// application's events reach us and say nothing changed, or the reading was costly and its
// mark is the same. Even then the mark is asked again after a while, for applications that
// announce less than they should. Null where accessible has no selection to read.
AtspiAccessibility::Reading* AtspiAccessibility::currentReading(AtspiAccessible* accessible) {
    std::string object = identityOf(accessible);
    Heard heard = heardOf(accessible);
    gint64 now = g_get_monotonic_time();
    bool same =
        reading_ && reading_->object == object && reading_->selections.holds(heard.selections, now);
    if (same && reading_->evaluation == evaluation_) {
        return &*reading_;
    }
    // A reading that ran out of time goes on only once the main loop has turned: two
    // evaluations due at once must not spend two budgets in one turn.
    bool unfinished = same && !reading_->mark.empty() && !reading_->read;
    // A caret move asks for the mark again, and keeps what a reading got so far.
    bool trusted = reading_ && (reading_->costly || eventsArrive(accessible));
    bool stillTrue = trusted && reading_->carets.holds(heard.carets, now);
    if ((unfinished && resumeWatch_ != 0) || (same && stillTrue && !unfinished)) {
        reading_->evaluation = evaluation_;
        return &*reading_;
    }
    Source source = chooseSource(accessible).source;
    if (source != Source::text && source != Source::blocks) {
        return nullptr;
    }
    // In a WebKit page, where a scan costs a long page much, the blocks held by the last mark
    // are asked again, and all blocks on screen only when the selection may have moved to
    // others: WebKit sets PRIMARY to each new selection. Without X11 there is no such sign,
    // and other documents scan every time.
    bool rescan = !same || reading_->source != Source::blocks || primary_ == nullptr ||
                  !primary_->available() || reading_->primaryChanges != primaryChanges() ||
                  primarySettling() || !reader_.scanIsCostly(accessible);
    Mark mark = rescan ? reader_.markOf(accessible, source) : reader_.remark(reading_->mark);
    // What changed is looked at whole: the change may have moved the selection elsewhere.
    if (!rescan && mark != reading_->mark) {
        mark = reader_.markOf(accessible, source);
    }
    // A selection that changed while its application said nothing: from now on it is asked
    // on every evaluation.
    if (same && mark != reading_->mark && reading_->carets.events == heard.carets &&
        eventsArrive(accessible)) {
        if (const char* bus = busNameOf(accessible)) {
            unannounced_.insert(bus);
        }
    }
    // A page's text does not change under its selection unseen: its mark says enough.
    if (same && (trusted || source == Source::blocks) && reading_->read && reading_->mark == mark) {
        reading_->primaryChanges = primaryChanges();
        reading_->carets = Kept::of(heard.carets, now, kReadingLifetimeUs);
        reading_->evaluation = evaluation_;
        return &*reading_;
    }
    Reading fresh;
    fresh.object = std::move(object);
    fresh.selections = {heard.selections, G_MAXINT64};  // events alone end it
    fresh.carets = Kept::of(heard.carets, now, kReadingLifetimeUs);
    fresh.evaluation = evaluation_;
    fresh.madeAt = now;
    fresh.source = source;
    fresh.mark = std::move(mark);
    fresh.primaryChanges = primaryChanges();
    if (!fresh.mark.empty()) {
        read(fresh, accessible, unfinished && reading_->mark == fresh.mark);
    }
    reading_ = std::move(fresh);
    return &*reading_;
}

// Reads what reading's mark stands for; goingOn: from what the last try got before its time
// ran out.
void AtspiAccessibility::read(Reading& reading, AtspiAccessible* accessible, bool goingOn) {
    if (batch_ && !goingOn) {
        batch_->forgetAnswers();
    }
    gint64 began = g_get_monotonic_time();
    reading.read = reader_.read(accessible, reading.mark, calls_.deadline());
    gint64 done = g_get_monotonic_time();
    if (batch_ && reading.read) {
        batch_->forgetAnswers();
    }
    reading.carets.until = done + kReadingLifetimeUs;
    reading.costly = done - began >= kCostlyReadingUs;
    // One that leaves little of its turn is given out in the next, with a whole budget to be
    // measured in, and what the logic does with a long text outside this turn.
    reading.deferred = reading.read && calls_.deadline() - done < kHandOutReserveUs;
    if ((!reading.read || reading.deferred) && resumeWatch_ == 0) {
        // Added now, so run in the next turn at the earliest, after what is waiting.
        resumeWatch_ = g_idle_add_full(
            G_PRIORITY_DEFAULT,
            [](gpointer self) -> gboolean {
                static_cast<AtspiAccessibility*>(self)->resumeWatch_ = 0;
                return G_SOURCE_REMOVE;
            },
            this, nullptr);
    }
}

bool AtspiAccessibility::deferred(Reading& reading) {
    if (reading.deferred && resumeWatch_ == 0) {
        reading.deferred = false;
    }
    return reading.deferred;
}

// The selection's range as the logic sees it: a text's own; for blocks, the read text whole.
std::optional<Offsets> AtspiAccessibility::rangeOf(const Reading& reading) {
    if (reading.mark.empty()) {
        return std::nullopt;
    }
    if (reading.source == Source::text) {
        return reading.mark.front().range;
    }
    if (!reading.read) {
        return std::nullopt;
    }
    return Offsets{0, static_cast<int>(g_utf8_strlen(reading.read->text.c_str(), -1))};
}

// Where the read selection is, measured at most once per evaluation. One that had no place yet
// may have one now, while it settles (and once more after it was held back); one that had a
// place keeps it: measuring again would ask an application that may have stopped answering.
const std::optional<Rect>& AtspiAccessibility::placeOf(Reading& reading,
                                                       AtspiAccessible* accessible) {
    bool unplaced = reading.bounds && !*reading.bounds;
    bool settling = unplaced && reading.read->spans.size() <= kMaxSettlingSpans &&
                    (g_get_monotonic_time() - reading.madeAt < kBoundsSettleUs || reading.held);
    if (!reading.bounds || (settling && reading.measuredIn != evaluation_)) {
        reading.bounds = reader_.bounds(*reading.read, accessible);
        reading.measuredIn = evaluation_;
    }
    return *reading.bounds;
}

// Without a pointer (Wayland) the fallback rectangle can only stand at the caret, and a toolkit
// that places a new selection a moment after announcing it (Firefox) has placed no caret yet
// either: a new selection that has no place is not given out while it may still find one.
// Once that while is over it is measured once more, and given out with the fallback if need be.
bool AtspiAccessibility::awaitsPlace(Reading& reading, AtspiAccessible* accessible) {
    if (!reading.read || reading.mark.empty() || !pointerKnown_ || pointerKnown_() ||
        reading.read->spans.size() > kMaxSettlingSpans) {
        return false;
    }
    bool settling = g_get_monotonic_time() - reading.madeAt < kBoundsSettleUs;
    reading.held = !placeOf(reading, accessible) && settling;
    return reading.held;
}

}  // namespace glimwick::os
