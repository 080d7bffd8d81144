#pragma once

#include <atspi/atspi.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Geometry.h"
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
    // Whose visible area bounds the rectangle of a text that crossed objects; the focused
    // object when null.
    GObjectPtr<AtspiAccessible> clip;
};

// Reads selected text as a copy would give it, from the focused accessible's own text, the
// objects its embedded-object characters (U+FFFC) stand for, recursively (web pages, rich
// text), and the paragraphs beside it that hold the rest of the selection (office documents).
// Password fields are skipped, neither read nor measured. A reading that does not finish by
// its deadline fails as a whole: a cut text is never presented as the selection.
class SelectionReader {
public:
    SelectionReader(AtspiCalls& calls, WindowOrigin windowOrigin)
        : calls_(calls), windowOrigin_(std::move(windowOrigin)) {}

    // Reads the objects wholly inside a range together when there is a batch; one by one
    // otherwise. Not owned; null to go without.
    void setBatch(TextBatch* batch) { batch_ = batch; }

    // The range of accessible, with every embedded object expanded. Objects at the edges of
    // the range stand for their own selected part, the others for all of their text.
    std::optional<ReadText> readRange(AtspiAccessible* accessible, Offsets range, gint64 deadline);
    // The whole selection that accessible's own selection (range) is part of.
    std::optional<ReadText> readSelection(AtspiAccessible* accessible, Offsets range,
                                          gint64 deadline);
    // The union of the spans' extents in screen coordinates; clipped to the visible area of
    // the focused object when the text came from more than that object.
    std::optional<Rect> bounds(const ReadText& read, AtspiAccessible* focused);
    // Where the caret of accessible's text stands on screen: at the left edge of the character
    // after it, halfway down.
    std::optional<Point> caretPoint(AtspiAccessible* accessible);

private:
    class Builder;
    bool expand(AtspiAccessible* accessible, AtspiText* text, Offsets range, bool measure,
                int depth, gint64 deadline, Builder& out);
    // The object behind the embedded character at offset, its own selected part when edge;
    // measured through its own spans when measure. Nullopt on failure; whether it was measured.
    std::optional<bool> expandEmbedded(AtspiAccessible* accessible, AtspiHypertext* hypertext,
                                       int offset, bool edge, bool measure, int depth,
                                       gint64 deadline, Builder& out, std::vector<int>& secrets);
    std::optional<std::unique_ptr<TextBatch::Result>> readTogether(
        AtspiAccessible* accessible, AtspiText* text, Offsets range, int end,
        const std::string& chars, const std::vector<int>& inner, gint64 deadline);
    static void appendNode(const TextNode* node, Builder& out);
    std::optional<ReadText> readParagraphs(AtspiAccessible* focused, Offsets range,
                                           gint64 deadline);
    // A document's paragraphs around the focused one, at index.
    struct Paragraphs {
        AtspiAccessible* document;
        int index;
        int siblings;
        gint64 deadline;
    };
    std::optional<int> indexAmong(AtspiAccessible* document, AtspiAccessible* paragraph,
                                  int siblings, gint64 deadline);
    std::optional<std::pair<ReadText, bool>> selectedPart(const Paragraphs& around, int i,
                                                          bool forward);
    std::vector<ReadText> selectedNext(const Paragraphs& around, int step);
    std::optional<Rect> measure(const Span& span);
    std::optional<Rect> measureInWindow(const Span& span, AtspiText* text);
    std::optional<Rect> characterBox(AtspiAccessible* accessible, AtspiText* text, int offset);
    std::optional<Point> originOfWindow(AtspiAccessible* accessible);

    AtspiCalls& calls_;
    WindowOrigin windowOrigin_;
    TextBatch* batch_ = nullptr;
};

}  // namespace glimwick::os
