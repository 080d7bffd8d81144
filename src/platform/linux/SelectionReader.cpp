#include "platform/linux/SelectionReader.h"

#include <algorithm>
#include <iterator>
#include <string_view>

#include "platform/linux/AtspiRoles.h"

namespace glimwick::os {

namespace {

// Lines measured one by one where a toolkit measures only characters.
constexpr int kMaxMeasuredLines = 200;
constexpr int kMaxParentWalk = 64;

bool isBlank(std::string_view text) {
    return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

bool hasArea(const Rect& r) {
    return r.width > 0 && r.height > 0;
}

Rect unite(const Rect& a, const Rect& b) {
    double left = std::min(a.x, b.x);
    double top = std::min(a.y, b.y);
    double right = std::max(a.x + a.width, b.x + b.width);
    double bottom = std::max(a.y + a.height, b.y + b.height);
    return {left, top, right - left, bottom - top};
}

std::optional<Rect> intersect(const Rect& a, const Rect& b) {
    double left = std::max(a.x, b.x);
    double top = std::max(a.y, b.y);
    double right = std::min(a.x + a.width, b.x + b.width);
    double bottom = std::min(a.y + a.height, b.y + b.height);
    if (right <= left || bottom <= top) {
        return std::nullopt;
    }
    return Rect{left, top, right - left, bottom - top};
}

void include(std::optional<Rect>& total, const std::optional<Rect>& part) {
    if (part && hasArea(*part)) {
        total = total ? unite(*total, *part) : *part;
    }
}

bool pastDeadline(gint64 deadline) {
    return g_get_monotonic_time() > deadline;
}

}  // namespace

// Joins text runs as a copy gives them: a line break between blocks, a tab between the cells
// of a row, white space that only separates blocks dropped.
class SelectionReader::Builder {
public:
    void appendRun(std::string_view run) {
        if (run.empty()) {
            return;
        }
        if (pending_ != '\0') {
            if (isBlank(run)) {
                return;
            }
            if (!text_.empty() && text_.back() != '\n') {
                text_ += pending_;
            }
            pending_ = '\0';
        }
        text_ += run;
        cellClosed_ = false;
    }
    void beginObject(Layout layout) {
        crossed_ = true;
        if (layout != Layout::inlined) {
            pending_ = layout == Layout::cell && cellClosed_ ? '\t' : '\n';
        }
    }
    void endObject(Layout layout) {
        if (layout != Layout::inlined) {
            pending_ = '\n';
            cellClosed_ = layout == Layout::cell;
        }
    }
    void addSpan(AtspiAccessible* accessible, Offsets range) {
        if (range.end > range.start) {
            spans_.push_back({retained(accessible), range});
        }
    }
    ReadText finish() { return {std::move(text_), std::move(spans_), crossed_, nullptr}; }

private:
    std::string text_;
    std::vector<Span> spans_;
    char pending_ = '\0';
    bool cellClosed_ = false;
    bool crossed_ = false;
};

std::optional<ReadText> SelectionReader::readRange(AtspiAccessible* accessible, Offsets range,
                                                   gint64 deadline) {
    GObjectPtr<AtspiText> text(calls_.textOf(accessible));
    if (!text) {
        return std::nullopt;
    }
    Builder out;
    if (!expand(accessible, text.get(), range, true, 0, deadline, out)) {
        return std::nullopt;
    }
    return out.finish();
}

// Reads range of accessible into out. With measure, adds the spans that cover it: the range
// itself, less the objects at its edges (measured by their own selected part) and less
// password fields; the objects inside it are covered by the range's own extents.
bool SelectionReader::expand(AtspiAccessible* accessible, AtspiText* text, Offsets range,
                             bool measure, int depth, gint64 deadline, Builder& out) {
    if (depth > kMaxEmbeddingDepth || pastDeadline(deadline)) {
        return false;
    }
    auto chars = calls_.text(accessible, text, range.start, range.end);
    if (!chars) {
        return false;
    }
    std::vector<int> embedded = embeddedOffsets(*chars);
    for (int& offset : embedded) {
        offset += range.start;
    }
    int end = range.start + static_cast<int>(g_utf8_strlen(chars->c_str(), -1));
    if (embedded.empty()) {
        out.appendRun(*chars);
        if (measure) {
            out.addSpan(accessible, {range.start, end});
        }
        return true;
    }

    // Only the objects at the edges can be partly selected; the others are read whole, and
    // together when a batch can.
    auto isEdge = [&](int offset) { return offset == range.start || offset == end - 1; };
    std::vector<int> inner;
    std::copy_if(embedded.begin(), embedded.end(), std::back_inserter(inner),
                 [&](int offset) { return !isEdge(offset); });
    auto batched = readTogether(accessible, text, range, end, *chars, inner, deadline);
    if (!batched) {
        return false;
    }
    GObjectPtr<AtspiHypertext> hypertext(calls_.hypertextOf(accessible));
    Offsets interior{range.start, end};
    std::vector<int> secrets;
    std::string_view all(*chars);
    const char* runStart = all.data();
    size_t next = 0;  // in embedded
    size_t nextInner = 0;
    int offset = range.start;
    for (const char* p = all.data(); p < all.data() + all.size() && next < embedded.size();
         p = g_utf8_next_char(p), ++offset) {
        if (offset != embedded[next]) {
            continue;
        }
        ++next;
        out.appendRun(std::string_view(runStart, p - runStart));
        runStart = g_utf8_next_char(p);
        if (!isEdge(offset) && *batched) {
            const TextNode* node = (*batched)->top[nextInner++];
            if (node != nullptr && node->secret) {
                secrets.push_back(offset);
            }
            appendNode(node, out);
            continue;
        }
        auto measured = expandEmbedded(accessible, hypertext.get(), offset, isEdge(offset),
                                       measure && isEdge(offset), depth, deadline, out, secrets);
        if (!measured) {
            return false;
        }
        if (*measured && offset == interior.start) {
            interior.start = offset + 1;
        } else if (*measured && offset == interior.end - 1) {
            interior.end = offset;
        }
    }
    out.appendRun(std::string_view(runStart, all.data() + all.size() - runStart));
    if (measure) {
        int from = interior.start;
        for (int secret : secrets) {
            out.addSpan(accessible, {from, std::min(secret, interior.end)});
            from = std::max(from, secret + 1);
        }
        out.addSpan(accessible, {from, interior.end});
    }
    return true;
}

// The objects behind the embedded characters at inner (those wholly inside range, which ends
// at end), read together; null where there is no batch, so that they are read one by one;
// nullopt when that failed. chars is range's text.
std::optional<std::unique_ptr<TextBatch::Result>> SelectionReader::readTogether(
    AtspiAccessible* accessible, AtspiText* text, Offsets range, int end, const std::string& chars,
    const std::vector<int>& inner, gint64 deadline) {
    const char* bus = busNameOf(accessible);
    if (batch_ == nullptr || inner.empty() || bus == nullptr) {
        return std::unique_ptr<TextBatch::Result>();
    }
    if (calls_.leftAlone(bus)) {
        return std::nullopt;
    }
    // A select-all, or a range to the end (-1), has read the whole text already.
    bool toEnd = range.start == 0 && range.end < 0;
    auto count =
        range.start == 0 && !toEnd ? calls_.characterCount(accessible, text) : std::nullopt;
    const std::string* whole = toEnd || (count && end >= *count) ? &chars : nullptr;
    auto batched = batch_->read({bus, ATSPI_OBJECT(accessible)->path}, inner, deadline, whole);
    if (!batched) {
        if (batch_->heardNothing()) {
            calls_.leaveAlone(bus);
        }
        return std::nullopt;
    }
    return batched;
}

std::optional<bool> SelectionReader::expandEmbedded(AtspiAccessible* accessible,
                                                    AtspiHypertext* hypertext, int offset,
                                                    bool edge, bool measure, int depth,
                                                    gint64 deadline, Builder& out,
                                                    std::vector<int>& secrets) {
    GObjectPtr<AtspiAccessible> child =
        hypertext != nullptr ? calls_.embeddedAt(accessible, hypertext, offset) : nullptr;
    if (!child) {
        return false;
    }
    std::optional<AtspiRole> role = calls_.role(child.get());
    if (isSecret(role)) {
        secrets.push_back(offset);
        return false;
    }
    GObjectPtr<AtspiText> childText(calls_.textOf(child.get()));
    if (!childText) {
        return false;
    }
    Offsets childRange{0, -1};
    if (edge) {
        if (auto own = calls_.firstSelection(child.get(), childText.get())) {
            childRange = *own;
        }
    }
    Layout layout = layoutOf(*role);
    out.beginObject(layout);
    if (!expand(child.get(), childText.get(), childRange, measure, depth + 1, deadline, out)) {
        return std::nullopt;
    }
    out.endObject(layout);
    return measure;
}

void SelectionReader::appendNode(const TextNode* node, Builder& out) {
    if (node == nullptr || node->secret) {
        return;
    }
    Layout layout = layoutOf(node->role);
    out.beginObject(layout);
    std::string_view text(node->text);
    std::vector<int> embedded = embeddedOffsets(text);
    const char* runStart = text.data();
    size_t next = 0;
    int offset = 0;
    for (const char* p = text.data(); p < text.data() + text.size() && next < embedded.size();
         p = g_utf8_next_char(p), ++offset) {
        if (offset != embedded[next]) {
            continue;
        }
        out.appendRun(std::string_view(runStart, p - runStart));
        runStart = g_utf8_next_char(p);
        appendNode(node->embedded[next++], out);
    }
    out.appendRun(std::string_view(runStart, text.data() + text.size() - runStart));
    out.endObject(layout);
}

std::optional<ReadText> SelectionReader::readSelection(AtspiAccessible* accessible, Offsets range,
                                                       gint64 deadline) {
    auto own = readRange(accessible, range, deadline);
    if (!own || own->crossedObjects) {
        return own;
    }
    if (auto paragraphs = readParagraphs(accessible, range, deadline)) {
        return paragraphs;
    }
    if (pastDeadline(deadline)) {
        return std::nullopt;
    }
    return own;
}

// A document whose paragraphs are objects of their own, beside one another and not joined by
// a text of their parent: each paragraph holds its part of the selection, and the focused one
// is where the selection ends. Nullopt when that is not the case here.
std::optional<ReadText> SelectionReader::readParagraphs(AtspiAccessible* focused, Offsets range,
                                                        gint64 deadline) {
    GObjectPtr<AtspiText> text(calls_.textOf(focused));
    auto count = calls_.characterCount(focused, text.get());
    bool atStart = range.start == 0;
    bool atEnd = count && range.end >= *count;
    if (!atStart && !atEnd) {
        return std::nullopt;
    }
    GObjectPtr<AtspiAccessible> document = calls_.parent(focused);
    if (!document) {
        return std::nullopt;
    }
    auto role = calls_.role(document.get());
    GObjectPtr<AtspiText> documentText(calls_.textOf(document.get()));
    auto siblings = calls_.childCount(document.get());
    if (!role || !isDocument(*role) || documentText || !siblings) {
        return std::nullopt;
    }
    auto index = indexAmong(document.get(), focused, *siblings, deadline);
    if (!index) {
        return std::nullopt;
    }
    Paragraphs paragraphs{document.get(), *index, *siblings, deadline};
    std::vector<ReadText> before = atStart ? selectedNext(paragraphs, -1) : std::vector<ReadText>{};
    std::vector<ReadText> after = atEnd ? selectedNext(paragraphs, 1) : std::vector<ReadText>{};
    if (pastDeadline(deadline) || (before.empty() && after.empty())) {
        return std::nullopt;
    }
    auto own = readRange(focused, range, deadline);
    if (!own) {
        return std::nullopt;
    }
    ReadText whole;
    whole.crossedObjects = true;
    auto add = [&](ReadText& part) {
        if (!whole.text.empty()) {
            whole.text += '\n';
        }
        whole.text += part.text;
        std::move(part.spans.begin(), part.spans.end(), std::back_inserter(whole.spans));
    };
    std::for_each(before.rbegin(), before.rend(), add);
    add(*own);
    std::for_each(after.begin(), after.end(), add);
    whole.clip = std::move(document);
    return whole;
}

// Some applications give no index (Evince's pages say -1): it is found among the siblings,
// else the paragraph at -1 + 1 would be read a second time as the next one.
std::optional<int> SelectionReader::indexAmong(AtspiAccessible* document,
                                               AtspiAccessible* paragraph, int siblings,
                                               gint64 deadline) {
    auto index = calls_.indexInParent(paragraph);
    if (!index) {
        return std::nullopt;
    }
    for (int i = 0; *index < 0 && i < siblings && !pastDeadline(deadline); ++i) {
        if (calls_.child(document, i).get() == paragraph) {
            index = i;
        }
    }
    return *index >= 0 ? index : std::nullopt;
}

// The selected part of the paragraph at i, and whether the selection goes on past it (before
// it, unless forward).
std::optional<std::pair<ReadText, bool>> SelectionReader::selectedPart(const Paragraphs& around,
                                                                       int i, bool forward) {
    GObjectPtr<AtspiAccessible> paragraph = calls_.child(around.document, i);
    GObjectPtr<AtspiText> text(paragraph ? calls_.textOf(paragraph.get()) : nullptr);
    if (!text || isSecret(calls_.role(paragraph.get()))) {
        return std::nullopt;
    }
    auto selected = calls_.firstSelection(paragraph.get(), text.get());
    if (!selected) {
        return std::nullopt;
    }
    auto read = readRange(paragraph.get(), *selected, around.deadline);
    if (!read) {
        return std::nullopt;
    }
    bool goesOn = !forward ? selected->start == 0 : [&] {
        auto length = calls_.characterCount(paragraph.get(), text.get());
        return length && selected->end >= *length;
    }();
    return std::make_pair(std::move(*read), goesOn);
}

// The selected paragraphs next to the focused one, one way (step), nearest first.
std::vector<ReadText> SelectionReader::selectedNext(const Paragraphs& around, int step) {
    std::vector<ReadText> parts;
    for (int i = around.index + step;
         i >= 0 && i < around.siblings && !pastDeadline(around.deadline); i += step) {
        auto part = selectedPart(around, i, step > 0);
        if (!part) {
            break;
        }
        parts.push_back(std::move(part->first));
        if (!part->second) {
            break;
        }
    }
    return parts;
}

std::optional<Rect> SelectionReader::bounds(const ReadText& read, AtspiAccessible* focused) {
    std::optional<Rect> total;
    for (const Span& span : read.spans) {
        include(total, measure(span));
    }
    if (!total || !read.crossedObjects) {
        return total;
    }
    // Only what is on screen: a long selection runs far past the visible part of a page.
    AtspiAccessible* clip = read.clip ? read.clip.get() : focused;
    auto visible = calls_.extents(clip, ATSPI_COORD_TYPE_SCREEN);
    if (!visible || !hasArea(*visible)) {
        return total;
    }
    return intersect(*total, *visible);
}

std::optional<Rect> SelectionReader::measure(const Span& span) {
    GObjectPtr<AtspiText> text(calls_.textOf(span.accessible.get()));
    if (!text) {
        return std::nullopt;
    }
    if (auto screen = calls_.rangeExtents(span.accessible.get(), text.get(), span.range,
                                          ATSPI_COORD_TYPE_SCREEN)) {
        return screen;
    }
    return measureInWindow(span, text.get());
}

// For toolkits that refuse screen coordinates (GTK 4): window coordinates plus the window's
// place on screen, where the platform knows it.
std::optional<Rect> SelectionReader::measureInWindow(const Span& span, AtspiText* text) {
    AtspiAccessible* accessible = span.accessible.get();
    auto origin = originOfWindow(accessible);
    if (!origin) {
        return std::nullopt;
    }
    auto inWindow = calls_.rangeExtents(accessible, text, span.range, ATSPI_COORD_TYPE_WINDOW);
    if (!inWindow) {
        // Some measure single characters only (GTK 4.8, which has no line queries either):
        // the first and last character of each line of the text.
        auto chars = calls_.text(accessible, text, span.range.start, span.range.end);
        if (!chars) {
            return std::nullopt;
        }
        auto measureLine = [&](int first, int last) {
            for (int at : {first, last}) {
                include(inWindow,
                        calls_.characterExtents(accessible, text, at, ATSPI_COORD_TYPE_WINDOW));
            }
        };
        int offset = span.range.start;
        int lineStart = offset;
        int lines = 0;
        for (const char* p = chars->c_str(); *p != '\0' && lines < kMaxMeasuredLines;
             p = g_utf8_next_char(p), ++offset) {
            if (*p == '\n') {
                if (offset > lineStart) {
                    measureLine(lineStart, offset - 1);
                    ++lines;
                }
                lineStart = offset + 1;
            }
        }
        if (offset > lineStart) {
            measureLine(lineStart, offset - 1);
        }
    }
    if (!inWindow) {
        return std::nullopt;
    }
    return Rect{inWindow->x + origin->x, inWindow->y + origin->y, inWindow->width,
                inWindow->height};
}

std::optional<Rect> SelectionReader::characterBox(AtspiAccessible* accessible, AtspiText* text,
                                                  int offset) {
    if (auto screen = calls_.characterExtents(accessible, text, offset, ATSPI_COORD_TYPE_SCREEN)) {
        return screen;
    }
    auto inWindow = calls_.characterExtents(accessible, text, offset, ATSPI_COORD_TYPE_WINDOW);
    auto origin = inWindow ? originOfWindow(accessible) : std::nullopt;
    if (!origin) {
        return std::nullopt;
    }
    return Rect{inWindow->x + origin->x, inWindow->y + origin->y, inWindow->width,
                inWindow->height};
}

std::optional<Point> SelectionReader::caretPoint(AtspiAccessible* accessible) {
    GObjectPtr<AtspiText> text(calls_.textOf(accessible));
    auto caret = text ? calls_.caret(accessible, text.get()) : std::nullopt;
    if (!caret || *caret < 0) {
        return std::nullopt;
    }
    auto box = characterBox(accessible, text.get(), *caret);
    if (box && box->height > 0) {
        return Point{box->x, box->y + box->height / 2};
    }
    // At the end of the text there is no character after it: the right edge of the last one.
    box = *caret > 0 ? characterBox(accessible, text.get(), *caret - 1) : std::nullopt;
    if (box && box->height > 0) {
        return Point{box->x + box->width, box->y + box->height / 2};
    }
    return std::nullopt;
}

std::optional<Point> SelectionReader::originOfWindow(AtspiAccessible* accessible) {
    if (!windowOrigin_) {
        return std::nullopt;
    }
    GObjectPtr<AtspiAccessible> current = retained(accessible);
    for (int step = 0; current && step < kMaxParentWalk; ++step) {
        auto role = calls_.role(current.get());
        if (role && isTopLevel(*role)) {
            auto pid = calls_.pid(current.get());
            auto title = calls_.name(current.get());
            auto size = calls_.extents(current.get(), ATSPI_COORD_TYPE_WINDOW);
            if (!pid || !title) {
                return std::nullopt;
            }
            return windowOrigin_(*pid, *title, size ? Point{size->width, size->height} : Point{});
        }
        current = calls_.parent(current.get());
    }
    return std::nullopt;
}

}  // namespace glimwick::os
