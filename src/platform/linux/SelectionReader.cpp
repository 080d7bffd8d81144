#include "platform/linux/SelectionReader.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string_view>

#include "platform/linux/AtspiRoles.h"

namespace glimwick::os {

namespace {

// Lines measured one by one where a toolkit measures only characters.
constexpr int kMaxMeasuredLines = 200;
// Characters looked through for the end of a line.
constexpr int kLineSearch = 512;
constexpr int kMaxParentWalk = 64;
// Blocks asked for their part of a selection: those on screen, and inside a block without
// text (a list, a table, its rows) a few levels down.
constexpr int kMaxBlocksOnScreen = 64;
constexpr int kMaxBlockDepth = 3;

void include(std::optional<Rect>& total, const std::optional<Rect>& part) {
    if (part && hasArea(*part)) {
        total = total ? unite(*total, *part) : *part;
    }
}

bool pastDeadline(gint64 deadline) {
    return g_get_monotonic_time() > deadline;
}

Rect moved(const Rect& box, Point by) {
    return Rect{box.x + by.x, box.y + by.y, box.width, box.height};
}

int characters(const std::string& text) {
    return static_cast<int>(g_utf8_strlen(text.c_str(), -1));
}

}  // namespace

void SelectionReader::Builder::addSpan(AtspiAccessible* accessible, Offsets range) {
    if (range.end > range.start) {
        spans.push_back({retained(accessible), range});
    }
}

Mark SelectionReader::markOf(AtspiAccessible* target, Source source) {
    Mark mark;
    if (source == Source::text) {
        GObjectPtr<AtspiText> text(calls_.textOf(target));
        if (auto range = text ? calls_.firstSelection(target, text.get()) : std::nullopt) {
            mark.push_back({retained(target), identityOf(target), *range, Layout::block, 0});
        }
    } else if (source == Source::blocks) {
        std::string identity = identityOf(target);
        if (markerless_.first != identity) {
            markerless_ = {identity, calls_.attribute(target, "toolkit") == "WebKitGTK"};
        }
        int group = 0;
        collectHolders(target, 0, group, mark);
    }
    return mark;
}

Mark SelectionReader::remark(const Mark& earlier) {
    Mark mark;
    for (const Holder& holder : earlier) {
        GObjectPtr<AtspiText> text(calls_.textOf(holder.object.get()));
        if (auto range =
                text ? calls_.firstSelection(holder.object.get(), text.get()) : std::nullopt) {
            if (holder.marker && range->end == holder.length - 1) {
                range->end = holder.length;
            }
            mark.push_back({retained(holder.object.get()), holder.identity, *range, holder.layout,
                            holder.group, holder.marker, holder.length});
        }
    }
    return mark;
}

// WebKitGTK gives a list item's text its marker (an embedded object, first) but counts the
// selection's offsets without it: an item selected to its end says it ends one short.
void SelectionReader::countMarkers(AtspiAccessible* object, AtspiText* text, Holder& holder) {
    auto start = markerless_.second ? calls_.text(object, text, 0, 1) : std::nullopt;
    auto length = start && embeddedOffsets(*start) == std::vector<int>{0}
                      ? calls_.characterCount(object, text)
                      : std::nullopt;
    holder.marker = length.has_value();
    holder.length = length.value_or(0);
    if (length && holder.range.end == *length - 1) {
        holder.range.end = *length;
    }
}

// The blocks on screen inside container that hold part of the selection, in document order.
void SelectionReader::collectHolders(AtspiAccessible* container, int depth, int& group,
                                     Mark& mark) {
    int own = group;
    auto shown = calls_.matching(container, ATSPI_STATE_SHOWING, nullptr, kMaxBlocksOnScreen, false)
                     .value_or(std::vector<GObjectPtr<AtspiAccessible>>{});
    for (auto& block : shown) {
        auto role = calls_.role(block.get());
        GObjectPtr<AtspiText> text(calls_.textOf(block.get()));
        if (text) {
            if (auto range = calls_.firstSelection(block.get(), text.get())) {
                Holder holder{retained(block.get()), identityOf(block.get()), *range,
                              layoutOf(*role), own};
                countMarkers(block.get(), text.get(), holder);
                mark.push_back(std::move(holder));
            }
        } else if (depth < kMaxBlockDepth && !isSecret(role)) {
            collectHolders(block.get(), depth + 1, ++group, mark);
        }
    }
}

std::optional<ReadText> SelectionReader::read(AtspiAccessible* target, const Mark& mark,
                                              gint64 deadline) {
    if (mark.empty()) {
        return std::nullopt;
    }
    std::vector<ReadText> parts;
    for (const Holder& holder : mark) {
        auto part = readRange(holder.object.get(), holder.range, deadline);
        if (!part) {
            return std::nullopt;
        }
        parts.push_back(std::move(*part));
    }
    bool single = mark.size() == 1 && mark[0].object.get() == target;
    std::vector<ReadText> before;
    std::vector<ReadText> after;
    if (!single || !parts[0].crossedObjects) {
        before = beyond(mark.front(), -1, deadline);
        after = beyond(mark.back(), 1, deadline);
        if (pastDeadline(deadline)) {
            return std::nullopt;
        }
    }
    if (single && before.empty() && after.empty()) {
        return std::move(parts[0]);
    }
    ReadText whole;
    whole.crossedObjects = true;
    // Paragraphs beside the target: only what is on screen in their document counts.
    whole.clip = single ? calls_.parent(target) : retained(target);
    TextJoiner joiner;
    int group = mark.front().group;
    auto add = [&](ReadText& part, Layout layout, int partGroup) {
        if (partGroup != group) {
            joiner.endObject(Layout::block);
            group = partGroup;
        }
        joiner.beginObject(layout);
        joiner.appendRun(part.text);
        joiner.endObject(layout);
        std::move(part.spans.begin(), part.spans.end(), std::back_inserter(whole.spans));
    };
    std::for_each(before.rbegin(), before.rend(),
                  [&](ReadText& part) { add(part, Layout::block, mark.front().group); });
    for (size_t i = 0; i < parts.size(); ++i) {
        add(parts[i], mark[i].layout, mark[i].group);
    }
    for (ReadText& part : after) {
        add(part, Layout::block, mark.back().group);
    }
    whole.text = joiner.take();
    return whole;
}

std::optional<ReadText> SelectionReader::readRange(AtspiAccessible* accessible, Offsets range,
                                                   gint64 deadline) {
    GObjectPtr<AtspiText> text(calls_.textOf(accessible));
    Builder out;
    if (!text || !expand(accessible, text.get(), range, true, 0, deadline, out)) {
        return std::nullopt;
    }
    bool crossed = out.joiner.crossed();
    return ReadText{out.joiner.take(), std::move(out.spans), crossed, nullptr};
}

// Reads range of accessible into out. With measure, adds the spans that cover it: the range
// itself, less the objects at its edges (measured by their own selected part) and less those
// not read (password fields); the objects inside it are covered by the range's own extents.
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
    int length = characters(*chars);
    int end = range.start + length;
    // Only the objects at the edges can be partly selected; the others are read whole.
    auto isEdge = [&](int at) { return at == 0 || at == length - 1; };
    std::vector<int> inner;
    std::vector<int> edges;
    for (int at : embedded) {
        (isEdge(at) ? edges : inner).push_back(range.start + at);
    }
    auto fetched = fetchEmbedded(accessible, text, range, end, *chars, inner, edges, deadline);
    if (!fetched) {
        return false;
    }
    Offsets interior{range.start, end};
    std::vector<int> holes;  // objects not read, which are not measured either
    size_t nextInner = 0;
    size_t nextEdge = 0;
    bool failed = false;
    splitAtEmbedded(
        *chars, embedded, [&](std::string_view run) { out.joiner.appendRun(run); },
        [&](size_t i) {
            int offset = range.start + embedded[i];
            if (failed) {
                return;
            }
            if (!isEdge(embedded[i])) {
                const TextNode* node = (*fetched)->top[nextInner++];
                if (node != nullptr && node->secret) {
                    holes.push_back(offset);
                }
                out.joiner.appendNode(node);
                return;
            }
            auto read = expandEdge(accessible, (*fetched)->edges[nextEdge++], offset, measure,
                                   depth, deadline, out);
            failed = !read;
            if (read && !*read) {
                holes.push_back(offset);
            } else if (read && offset == interior.start) {
                interior.start = offset + 1;
            } else if (read && offset == interior.end - 1) {
                interior.end = offset;
            }
        });
    if (failed) {
        return false;
    }
    if (measure) {
        int from = interior.start;
        for (int hole : holes) {
            out.addSpan(accessible, {from, std::min(hole, interior.end)});
            from = std::max(from, hole + 1);
        }
        out.addSpan(accessible, {from, interior.end});
    }
    return true;
}

// The objects behind the embedded characters at inner (those wholly inside range, which ends
// at end), read together, and where those at edges are found; nullopt when that failed. chars
// is range's text.
std::optional<std::unique_ptr<TextBatch::Result>> SelectionReader::fetchEmbedded(
    AtspiAccessible* accessible, AtspiText* text, Offsets range, int end, const std::string& chars,
    const std::vector<int>& inner, const std::vector<int>& edges, gint64 deadline) {
    if (inner.empty() && edges.empty()) {
        return std::make_unique<TextBatch::Result>();
    }
    const char* bus = busNameOf(accessible);
    if (batch_ == nullptr || bus == nullptr || calls_.leftAlone(bus)) {
        return std::nullopt;
    }
    // A select-all, or a range to the end (-1), has read the whole text already.
    bool toEnd = range.start == 0 && range.end < 0;
    auto count =
        range.start == 0 && !toEnd ? calls_.characterCount(accessible, text) : std::nullopt;
    const std::string* whole = toEnd || (count && end >= *count) ? &chars : nullptr;
    auto batched =
        batch_->read({bus, ATSPI_OBJECT(accessible)->path}, inner, edges, deadline, whole);
    if (!batched) {
        if (batch_->heardNothing()) {
            calls_.leaveAlone(bus);
        }
        return std::nullopt;
    }
    return batched;
}

std::optional<bool> SelectionReader::expandEdge(AtspiAccessible* accessible, EmbeddedPlace place,
                                                int offset, bool measure, int depth,
                                                gint64 deadline, Builder& out) {
    GObjectPtr<AtspiAccessible> child = calls_.embeddedAt(accessible, place, offset);
    auto role = child ? calls_.role(child.get()) : std::nullopt;
    GObjectPtr<AtspiText> childText(role && !isSeparateDocument(*role) ? calls_.textOf(child.get())
                                                                       : nullptr);
    if (!childText) {
        return false;
    }
    Offsets childRange{0, -1};
    if (auto own = calls_.firstSelection(child.get(), childText.get())) {
        childRange = *own;
    }
    Layout layout = layoutOf(*role);
    out.joiner.beginObject(layout);
    if (!expand(child.get(), childText.get(), childRange, measure, depth + 1, deadline, out)) {
        return std::nullopt;
    }
    out.joiner.endObject(layout);
    return true;
}

bool SelectionReader::reachesEnd(AtspiAccessible* accessible, Offsets range) {
    GObjectPtr<AtspiText> text(calls_.textOf(accessible));
    auto length = text ? calls_.characterCount(accessible, text.get()) : std::nullopt;
    return length && range.end >= *length;
}

std::vector<ReadText> SelectionReader::beyond(const Holder& edge, int step, gint64 deadline) {
    if (step < 0 ? edge.range.start != 0 : !reachesEnd(edge.object.get(), edge.range)) {
        return {};
    }
    GObjectPtr<AtspiAccessible> document = calls_.parent(edge.object.get());
    auto role = document ? calls_.role(document.get()) : std::nullopt;
    auto edgeRole = role ? calls_.role(edge.object.get()) : std::nullopt;
    if (!edgeRole || !holdsParagraphs(*role, *edgeRole) ||
        GObjectPtr<AtspiText>(calls_.textOf(document.get()))) {
        return {};
    }
    auto siblings = calls_.childCount(document.get());
    auto index = siblings ? indexAmong(document.get(), edge.object.get(), *siblings, deadline)
                          : std::nullopt;
    if (!index) {
        return {};
    }
    return selectedNext({document.get(), *role, *index, *siblings, deadline}, step);
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
    if (paragraph && !isDocument(around.role)) {
        auto role = calls_.role(paragraph.get());
        if (!role || !holdsParagraphs(around.role, *role)) {
            return std::nullopt;
        }
    }
    GObjectPtr<AtspiText> text(paragraph ? calls_.textOf(paragraph.get()) : nullptr);
    auto selected = text ? calls_.firstSelection(paragraph.get(), text.get()) : std::nullopt;
    auto read = selected ? readRange(paragraph.get(), *selected, around.deadline) : std::nullopt;
    if (!read) {
        return std::nullopt;
    }
    bool goesOn = forward ? reachesEnd(paragraph.get(), *selected) : selected->start == 0;
    return std::make_pair(std::move(*read), goesOn);
}

// The selected paragraphs next to the one at around.index, one way (step), nearest first.
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

std::optional<Rect> SelectionReader::bounds(const ReadText& read, AtspiAccessible* target) {
    if (read.spans.empty()) {
        return std::nullopt;
    }
    // One selection lies in one window: where it is, is looked up once per measure.
    windowOrigin_.known.reset();
    // Some toolkits give every character a box of no height at the top of its line, and
    // ranges boxes that do not agree with them (KDE's editor): then the characters are
    // measured, each reaching one line further down.
    double lift = flatLineHeight(read.spans.front()).value_or(0);
    std::optional<Rect> total;
    for (const Span& span : read.spans) {
        GObjectPtr<AtspiText> text(lift > 0 ? calls_.textOf(span.accessible.get()) : nullptr);
        include(total, text ? measureLines(span, text.get(), ATSPI_COORD_TYPE_SCREEN, lift)
                            : measure(span));
    }
    AtspiAccessible* clip = read.clip ? read.clip.get() : target;
    auto visible = total ? calls_.extents(clip, ATSPI_COORD_TYPE_SCREEN) : std::nullopt;
    if (!visible || !hasArea(*visible)) {
        return total;
    }
    // A box that does not even meet its own object's is not in screen coordinates (Konsole
    // gives its widget's own): no place is better than a wrong one.
    auto shown = intersect(*total, *visible);
    if (!shown) {
        return std::nullopt;
    }
    // Only what is on screen: a long selection runs far past the visible part of a page.
    return read.crossedObjects ? shown : total;
}

std::optional<double> SelectionReader::flatLineHeight(const Span& span) {
    AtspiAccessible* accessible = span.accessible.get();
    GObjectPtr<AtspiText> text(calls_.textOf(accessible));
    auto first = text ? calls_.characterExtents(accessible, text.get(), span.range.start,
                                                ATSPI_COORD_TYPE_SCREEN)
                      : std::nullopt;
    if (!first || first->width <= 0 || first->height != 0) {
        return std::nullopt;
    }
    // The distance to the next line, as the text itself places it.
    auto ahead =
        calls_.text(accessible, text.get(), span.range.start, span.range.start + kLineSearch);
    const char* newline = ahead ? std::strchr(ahead->c_str(), '\n') : nullptr;
    if (newline == nullptr) {
        return std::nullopt;
    }
    int next =
        span.range.start + static_cast<int>(g_utf8_pointer_to_offset(ahead->c_str(), newline)) + 1;
    auto below = calls_.characterExtents(accessible, text.get(), next, ATSPI_COORD_TYPE_SCREEN);
    if (!below || below->y <= first->y) {
        return std::nullopt;
    }
    return below->y - first->y;
}

std::optional<Rect> SelectionReader::measure(const Span& span) {
    GObjectPtr<AtspiText> text(calls_.textOf(span.accessible.get()));
    if (!text) {
        return std::nullopt;
    }
    auto screen =
        calls_.rangeExtents(span.accessible.get(), text.get(), span.range, ATSPI_COORD_TYPE_SCREEN);
    if (screen && screen->width >= 0 && screen->height >= 0) {
        return screen;
    }
    // A box of negative size says the range cannot be measured (Swing's HTML documents, for a
    // range from their head on); its characters, line by line, may still have their boxes.
    auto lines = screen ? measureLines(span, text.get(), ATSPI_COORD_TYPE_SCREEN, 0) : std::nullopt;
    return lines ? lines : measureInWindow(span, text.get());
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
        // Some measure single characters only (GTK 4.8, which has no line queries either).
        inWindow = measureLines(span, text, ATSPI_COORD_TYPE_WINDOW, 0);
    }
    return inWindow ? std::optional(moved(*inWindow, *origin)) : std::nullopt;
}

// The first and last character of each line of span, each lift higher than the toolkit says.
std::optional<Rect> SelectionReader::measureLines(const Span& span, AtspiText* text,
                                                  AtspiCoordType coordinates, double lift) {
    AtspiAccessible* accessible = span.accessible.get();
    auto chars = calls_.text(accessible, text, span.range.start, span.range.end);
    if (!chars) {
        return std::nullopt;
    }
    std::optional<Rect> total;
    auto measureLine = [&](int first, int last) {
        for (int at : {first, last}) {
            auto box = calls_.characterExtents(accessible, text, at, coordinates);
            if (box) {
                box->height += lift;
            }
            include(total, box);
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
    return total;
}

std::optional<Rect> SelectionReader::characterBox(AtspiAccessible* accessible, AtspiText* text,
                                                  int offset) {
    if (auto screen = calls_.characterExtents(accessible, text, offset, ATSPI_COORD_TYPE_SCREEN)) {
        return screen;
    }
    auto inWindow = calls_.characterExtents(accessible, text, offset, ATSPI_COORD_TYPE_WINDOW);
    auto origin = inWindow ? originOfWindow(accessible) : std::nullopt;
    return origin ? std::optional(moved(*inWindow, *origin)) : std::nullopt;
}

std::optional<Point> SelectionReader::caretPoint(AtspiAccessible* accessible) {
    windowOrigin_.known.reset();
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
    if (!windowOrigin_.find) {
        return std::nullopt;
    }
    if (!windowOrigin_.known) {
        windowOrigin_.known = findOriginOfWindow(accessible);
    }
    return *windowOrigin_.known;
}

std::optional<Point> SelectionReader::findOriginOfWindow(AtspiAccessible* accessible) {
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
            return windowOrigin_.find(*pid, *title,
                                      size ? Point{size->width, size->height} : Point{});
        }
        current = calls_.parent(current.get());
    }
    return std::nullopt;
}

}  // namespace glimwick::os
