#pragma once

#include <atspi/atspi.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Geometry.h"
#include "platform/TextTree.h"
#include "platform/linux/AtspiBatch.h"
#include "platform/linux/AtspiCalls.h"
#include "platform/linux/GObjectPtr.h"

namespace glimwick::os {

// Where the content of a top-level window of an application starts on screen, when the
// platform knows it; size is the window's own, as the toolkit gives it (x wide, y high).
using WindowOrigin =
    std::function<std::optional<Point>(Pid pid, const std::string& title, Point size)>;

// A range of one accessible's text that is measured as a whole.
struct Span {
    GObjectPtr<AtspiAccessible> accessible;
    Offsets range;
};

// The text a selection stands for, and the spans that cover it on screen.
struct ReadText {
    std::string text;
    std::vector<Span> spans;
    bool crossedObjects = false;  // read from more than the accessible asked about
    // Whose visible area bounds the rectangle of a text that crossed objects; the target when
    // null.
    GObjectPtr<AtspiAccessible> clip;
};

// Where a target's selection lives: in its own text, or in the blocks shown inside it (a
// document view's pages, a web document's paragraphs), each holding its part of one selection;
// or, where accessibility sees nothing, in the front application's PRIMARY selection. None for
// a password field and for everything else. AtspiAccessibility::chooseSource decides.
enum class Source { none, text, blocks, primary };

// One object that holds part of a selection, and that part.
struct Holder {
    GObjectPtr<AtspiAccessible> object;
    std::string identity;
    Offsets range;
    Layout layout = Layout::block;
    int group = 0;        // holders inside one container (a table row) share it
    bool marker = false;  // its text starts with a list marker its offsets do not count
    int length = 0;       // its length, known where it has such a marker
    bool operator==(const Holder& other) const {
        return identity == other.identity && range == other.range;
    }
};
// What identifies a selection without reading it; empty when nothing is selected.
using Mark = std::vector<Holder>;

// Reads a selection in two steps: where it is (a mark, a few calls), then what it says (the
// text as a copy would give it, and where it is on screen). Each object's text is read with
// the objects its embedded-object characters (U+FFFC) stand for, recursively (web pages, rich
// text), and with the paragraphs beside it that hold the rest of the selection (office
// documents). A password field's text is never handed out (AtspiCalls::textOf), so it is
// neither read nor measured. A reading that does not finish by its deadline fails as a whole:
// a cut text is never presented as the selection.
class SelectionReader {
public:
    SelectionReader(AtspiCalls& calls, WindowOrigin windowOrigin)
        : calls_(calls), windowOrigin_{std::move(windowOrigin), std::nullopt} {}

    // Reads the objects wholly inside a range, all together. Not owned; without one, a range
    // with objects inside cannot be read.
    void setBatch(TextBatch* batch) { batch_ = batch; }

    Mark markOf(AtspiAccessible* target, Source source);
    // The selection's mark as the holders of an earlier one see it now.
    Mark remark(const Mark& earlier);
    // Whether a scan of target's blocks costs it much (a WebKitGTK page), as last marked.
    bool scanIsCostly(AtspiAccessible* target) const {
        return markerless_.second && markerless_.first == identityOf(target);
    }
    // The whole selection that mark stands for.
    std::optional<ReadText> read(AtspiAccessible* target, const Mark& mark, gint64 deadline);
    // The range of accessible, with every embedded object expanded. Objects at the edges of
    // the range stand for their own selected part, the others for all of their text.
    std::optional<ReadText> readRange(AtspiAccessible* accessible, Offsets range, gint64 deadline);
    // The union of the spans' extents in screen coordinates; clipped to the visible area of
    // the clip (else the target) when the text came from more than the target.
    std::optional<Rect> bounds(const ReadText& read, AtspiAccessible* target);
    // Where the caret of accessible's text stands on screen: at the left edge of the character
    // after it, halfway down.
    std::optional<Point> caretPoint(AtspiAccessible* accessible);

private:
    struct Builder {
        TextJoiner joiner;
        std::vector<Span> spans;
        void addSpan(AtspiAccessible* accessible, Offsets range);
    };
    void collectHolders(AtspiAccessible* container, int depth, int& group, Mark& mark);
    void countMarkers(AtspiAccessible* object, AtspiText* text, Holder& holder);
    bool expand(AtspiAccessible* accessible, AtspiText* text, Offsets range, bool measure,
                int depth, gint64 deadline, Builder& out);
    // The object behind the embedded character at offset, found at place, by its own selected
    // part; measured through its own spans when measure. Nullopt on failure; else whether it
    // was read.
    std::optional<bool> expandEdge(AtspiAccessible* accessible, EmbeddedPlace place, int offset,
                                   bool measure, int depth, gint64 deadline, Builder& out);
    std::optional<std::unique_ptr<TextBatch::Result>> fetchEmbedded(
        AtspiAccessible* accessible, AtspiText* text, Offsets range, int end,
        const std::string& chars, const std::vector<int>& inner, const std::vector<int>& edges,
        gint64 deadline);
    // A document's paragraphs around one of them, at index.
    struct Paragraphs {
        AtspiAccessible* document;
        AtspiRole role;  // the document's
        int index;
        int siblings;
        gint64 deadline;
    };
    // The selected paragraphs beyond edge, one way (step), nearest first: where edge's parent
    // holds paragraphs that are objects of their own, not joined by a text of its own.
    std::vector<ReadText> beyond(const Holder& edge, int step, gint64 deadline);
    std::optional<int> indexAmong(AtspiAccessible* document, AtspiAccessible* paragraph,
                                  int siblings, gint64 deadline);
    std::optional<std::pair<ReadText, bool>> selectedPart(const Paragraphs& around, int i,
                                                          bool forward);
    std::vector<ReadText> selectedNext(const Paragraphs& around, int step);
    bool reachesEnd(AtspiAccessible* accessible, Offsets range);
    std::optional<Rect> measure(const Span& span);
    std::optional<Rect> measureLines(const Span& span, AtspiText* text, AtspiCoordType coordinates,
                                     double lift);
    // The height of span's line, where the toolkit gives its characters boxes of no height.
    std::optional<double> flatLineHeight(const Span& span);
    std::optional<Rect> measureInWindow(const Span& span, AtspiText* text);
    std::optional<Rect> characterBox(AtspiAccessible* accessible, AtspiText* text, int offset);
    std::optional<Point> originOfWindow(AtspiAccessible* accessible);
    std::optional<Point> findOriginOfWindow(AtspiAccessible* accessible);

    AtspiCalls& calls_;
    // Where the window of what is being measured starts, once known.
    struct {
        WindowOrigin find;
        std::optional<std::optional<Point>> known;
    } windowOrigin_;
    TextBatch* batch_ = nullptr;
    // The blocks target last marked, and whether its toolkit counts offsets without markers.
    std::pair<std::string, bool> markerless_;
};

}  // namespace glimwick::os
