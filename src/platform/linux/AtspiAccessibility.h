#pragma once

#include <gio/gio.h>

#include <atspi/atspi.h>
#include <dbus/dbus.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/Accessibility.h"
#include "platform/Workspace.h"
#include "platform/linux/AtspiCalls.h"
#include "platform/linux/EventHeld.h"
#include "platform/linux/GObjectPtr.h"
#include "platform/linux/Kept.h"
#include "platform/linux/PrimarySelection.h"
#include "platform/linux/SelectionReader.h"

namespace glimwick::os {

// The accessibility interface on AT-SPI2. Connects to the accessibility bus lazily, once the
// session bus shows one, and lets go of everything when it goes away. Follows keyboard focus
// through focus events, and looks for it in the active window when none has come. Selections
// are read whole (SelectionReader); a reading that cost the application much is kept until
// the application's own selection events (delivered for the application observed) say it
// changed, or for a short while where it sends none. Password fields are never
// read: their text and ranges answer as unsupported. Where the focused application offers no
// readable text (not on the bus, or no Text interface where the focus is), its X11 PRIMARY
// selection stands in: text only, no range, no bounds.
class AtspiAccessibility : public ax::Accessibility {
public:
    // sessionBus and primary (null to go without) are not owned and outlive this object.
    AtspiAccessibility(GDBusConnection* sessionBus, WindowOrigin windowOrigin,
                       PrimarySelection* primary);
    ~AtspiAccessibility() override;

    bool isProcessTrusted(bool prompt) override;
    ax::ElementRef createSystemWide() override;
    ax::ElementRef createApplication(Pid pid) override;
    ax::Answer copyAttributeValue(const ax::ElementRef& element,
                                  const std::string& attribute) override;
    ax::Answer copyParameterizedAttributeValue(const ax::ElementRef& element,
                                               const std::string& attribute,
                                               const ax::Value& parameter) override;
    Pid getPid(const ax::ElementRef& element) override;
    std::optional<ax::AXValue> createRangeValue(const ax::Range& range) override;
    ax::ObserverResult createObserver(Pid pid, ax::ObserverCallback callback) override;

    // The application whose top-level window (frame, window, dialog) is active: kept from the
    // toolkits' activation events, looked for when none has come.
    std::optional<RunningApplication> activeApplication();
    // The caret in the focused text, else the focused object's centre, on screen.
    std::optional<Point> focusPoint();
    // Where the bridge says what the user should know (a browser without accessibility).
    void setNotice(std::function<void(const std::string&)> notice) { notice_ = std::move(notice); }
    // Whether the pointer's place is known (X11), for the fallback rectangle.
    void setPointerKnown(std::function<bool()> known) { pointerKnown_ = std::move(known); }

    class Observer;

private:
    // One reading of the focused object's selection, kept while it is still true.
    struct Reading {
        std::string object;            // bus name and path of the focused object
        Kept selections;               // until the next selection change heard of
        Kept carets;                   // until the next caret move, or its mark is due again
        std::uint64_t evaluation = 0;  // the latest evaluation it served
        gint64 madeAt = 0;             // when its mark was read first
        Source source = Source::none;
        Mark mark;                         // empty: nothing is selected
        std::uint64_t primaryChanges = 0;  // PRIMARY's changes when the mark was made
        bool costly = false;
        std::optional<ReadText> read;  // nullopt with a mark: not readable in time
        std::optional<std::optional<Rect>> bounds;
        bool held = false;             // not given out yet, awaiting its place
        bool deferred = false;         // read late in its turn: given out in the next
        std::uint64_t measuredIn = 0;  // the evaluation that measured its bounds last
        std::optional<int> caret;      // asked for only without a selection
    };

    bool connected();
    // Where the accessibility bus is, asked within the call time-out.
    std::optional<std::string> busAddress();
    void disconnect();
    void watchDepartures(bool watch);
    static DBusHandlerResult onBusMessage(DBusConnection* bus, DBusMessage* message, void* self);
    void forgetDeparted();
    ax::Answer systemWideAttribute(const std::string& attribute);
    struct Choice {
        Source source = Source::none;
        Pid primary = 0;  // the front process, whose PRIMARY stands in
    };
    Choice chooseSource(AtspiAccessible* focused);
    // The role the logic sees; nullopt when it cannot be asked.
    std::optional<std::string> axRoleOf(AtspiAccessible* accessible);
    // An address bar or search box, by the rule the logic applies.
    bool isExcludedControl(AtspiAccessible* accessible);
    bool showsText(Pid pid, AtspiAccessible* focused);
    const std::optional<Rect>& placeOf(Reading& reading, AtspiAccessible* accessible);
    bool awaitsPlace(Reading& reading, AtspiAccessible* accessible);
    // The first object below root, breadth first, for which found(object, states) holds: a
    // bounded walk through what is visible, for toolkits without Collection (GTK 4).
    using Found = std::function<bool(AtspiAccessible* object, AtspiStateSet* states)>;
    GObjectPtr<AtspiAccessible> walk(AtspiAccessible* root, const Found& found);
    ax::Answer primaryAttribute(Pid pid, const std::string& attribute);
    GObjectPtr<AtspiAccessible> focusedAccessible();
    GObjectPtr<AtspiAccessible> focusedIn(AtspiAccessible* window);
    GObjectPtr<AtspiAccessible> windowOf(AtspiAccessible* accessible);
    bool isQt(AtspiAccessible* accessible);
    GObjectPtr<AtspiAccessible> focusedTextWithin(GObjectPtr<AtspiAccessible> focused);
    GObjectPtr<AtspiAccessible> webDocumentIn(AtspiAccessible* window);
    GObjectPtr<AtspiAccessible> focusedInPage();
    GObjectPtr<AtspiAccessible> webDocumentBelow(GObjectPtr<AtspiAccessible> root);
    // surely (may be null): set when pid's application was surely not found, every other
    // application having answered.
    GObjectPtr<AtspiAccessible> findApplication(Pid pid, bool* surely);
    static void onFocusEvent(AtspiEvent* event, void* self);
    static void onWindowEvent(AtspiEvent* event, void* self);
    // Every top-level window of every application that says it is active.
    template <typename Visit>
    bool forEachActiveWindow(Visit&& visit);
    // The application on bus told us its selection changed: what was kept of it is stale.
    // What the observed application on bus said: its selection, or only its caret, moved.
    struct Heard {
        std::uint64_t selections = 0;
        std::uint64_t carets = 0;
    };
    void heard(const char* bus, bool caret);
    Heard heardOf(AtspiAccessible* accessible) const;

    ax::Answer selectionAttribute(AtspiAccessible* accessible, const std::string& attribute);
    ax::Answer rangeAttribute(AtspiAccessible* accessible, const std::string& attribute,
                              const ax::Range& range);
    // The reading of accessible's current selection.
    Reading* currentReading(AtspiAccessible* accessible);
    void read(Reading& reading, AtspiAccessible* accessible, bool goingOn);
    // Whether reading waits for the next turn of the loop to be given out.
    bool deferred(Reading& reading);
    static std::optional<Offsets> rangeOf(const Reading& reading);
    // Whether accessible's application tells us of its selection changes: it is observed, and
    // has not been seen to change one unannounced.
    bool eventsArrive(AtspiAccessible* accessible) const;

    GDBusConnection* sessionBus_;
    PrimarySelection* primary_;
    guint busWatch_ = 0;
    bool connected_ = false;
    bool lost_ = false;  // the accessibility bus went away after we had connected
    gint64 nextConnect_ = 0;
    // Applications (bus names) that left the accessibility bus, forgotten on the next turn.
    std::vector<std::string> departed_;
    guint departureWatch_ = 0;
    AtspiCalls calls_;
    SelectionReader reader_;
    // Requests sent together, over connections of our own.
    std::unique_ptr<TextBatch> batch_;
    GObjectPtr<AtspiEventListener> focusListener_;
    EventHeld lastFocused_;
    std::uint64_t focusMoves_ = 0;   // changes of lastFocused_ to another object
    std::uint64_t windowMoves_ = 0;  // window activation events
    // lastFocused_ was found focused while the focus and the windows stayed as they are.
    struct Confirmed {
        Kept kept;
        std::uint64_t primaryChanges = 0;  // PRIMARY's changes when it was last confirmed
    };
    Confirmed focusConfirmed_;
    // A web page's document standing in for the focus, which its toolkit does not show.
    GObjectPtr<AtspiAccessible> webDocument_;
    GObjectPtr<AtspiAccessible> webView_;  // the view in our window that shows it
    std::string webRoot_;                  // the page's root, as the view names it
    Confirmed webConfirmed_;
    // The page's text field with the focus state, if any, as last looked for.
    struct WebField {
        GObjectPtr<AtspiAccessible> field;
        std::uint64_t primaryChanges = 0;
        bool searched = false;
    };
    WebField webField_;
    // Whether an application shows any text, while the focus stays.
    struct TextShown {
        Pid pid = 0;
        Kept kept;
        bool shows = false;
    };
    TextShown textShown_;
    GObjectPtr<AtspiEventListener> windowListener_;
    EventHeld activeWindow_;
    // The application of activeWindow_, while the window events and the time say it holds.
    struct Front {
        Kept kept;
        std::optional<RunningApplication> application;
        std::string bus;  // the application's accessibility-bus name
    };
    Front front_;
    // Asks, keeping what front_ knows of the same application.
    std::optional<RunningApplication> findActiveApplication();
    gint64 nextActiveSearch_ = 0;
    // An object searched for the focus, and until when it is not searched again.
    struct Searched {
        std::string identity;
        gint64 until = 0;
        bool holds(const std::string& object, gint64 now) const {
            return object == identity && now < until;
        }
    };
    Searched fruitlessWindow_;  // no focus found in this active window
    // A focused container without text, and the focused text found inside it (none: none).
    struct Inside {
        Searched container;
        GObjectPtr<AtspiAccessible> text;
    };
    Inside inside_;
    // What each observed application said, by bus name.
    std::unordered_map<std::string, Heard> heard_;
    // Applications whose selection changed without a word: their events are not relied on.
    std::set<std::string> unannounced_;
    std::optional<Reading> reading_;
    std::uint64_t primaryChanges() const {
        return primary_ != nullptr ? primary_->ownerChanges() : 0;
    }
    bool primarySettling() const;
    // Counts the evaluations: each begins by asking for the focused element.
    std::uint64_t evaluation_ = 0;
    // Pending while a reading that ran out of time waits for the main loop to turn.
    guint resumeWatch_ = 0;
    std::set<Observer*> observers_;
    std::function<void(const std::string&)> notice_;
    std::set<std::string> noticed_;  // applications (bus names) the notice was given for
    std::function<bool()> pointerKnown_;
};

}  // namespace glimwick::os
