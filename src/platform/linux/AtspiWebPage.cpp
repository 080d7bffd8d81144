#include "platform/linux/AtspiAccessibility.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

// A WebKit page, which marks nothing focused: its document stands in for the focus.

namespace glimwick::os {

namespace {

// Views in a window looked at for a web page shown by another process.
constexpr int kMaxWebViews = 64;
constexpr int kWebDocumentDepth = 3;
constexpr int kWebViewChildren = 4;
// WebKit sets PRIMARY before its accessibility shows the new selection: for this long after
// each change, a page is looked through again on every evaluation.
constexpr gint64 kPrimarySettleUs = gint64{2} * G_USEC_PER_SEC;

}  // namespace

bool AtspiAccessibility::primarySettling() const {
    return primary_ != nullptr &&
           g_get_monotonic_time() - primary_->ownerChangedAt() < kPrimarySettleUs;
}

// A text field of the page has the focus state, though the page itself never has: then the
// field is the focus. Looked for again only when a selection may have been made (PRIMARY
// changed), or every time without X11: the search costs a long page much.
GObjectPtr<AtspiAccessible> AtspiAccessibility::focusedInPage() {
    if (!webDocument_) {
        return nullptr;
    }
    bool signalled = primary_ != nullptr && primary_->available();
    if (!signalled || !webField_.searched || webField_.primaryChanges != primaryChanges() ||
        primarySettling()) {
        auto inner = calls_.matching(webDocument_.get(), ATSPI_STATE_FOCUSED, nullptr, 1, true);
        bool editable =
            inner && !inner->empty() && calls_.hasState(inner->front().get(), ATSPI_STATE_EDITABLE);
        webField_ = {editable ? std::move(inner->front()) : nullptr, primaryChanges(), true};
    }
    return retained(webField_.field ? webField_.field.get() : webDocument_.get());
}

// WebKitGTK marks nothing of a page focused, not even while the keyboard is in it: the page's
// document, which another process shows inside window's web view, stands in for the focus.
GObjectPtr<AtspiAccessible> AtspiAccessibility::webDocumentIn(AtspiAccessible* window) {
    const char* own = busNameOf(window);
    // The view has no states at all; the page's own are not asked: a long page works them out
    // over all of its content.
    auto views =
        calls_.matching(window, std::nullopt, nullptr, kMaxWebViews, true, ATSPI_ROLE_FILLER)
            .value_or(std::vector<GObjectPtr<AtspiAccessible>>{});
    for (auto& view : views) {
        GObjectPtr<AtspiAccessible> root =
            calls_.childCount(view.get()) == 1 ? calls_.child(view.get(), 0) : nullptr;
        const char* bus = busNameOf(root.get());
        if (own == nullptr || bus == nullptr || std::strcmp(bus, own) == 0) {
            continue;
        }
        std::string identity = identityOf(root.get());
        if (auto document = webDocumentBelow(std::move(root))) {
            webView_ = std::move(view);
            webRoot_ = std::move(identity);
            return document;
        }
    }
    return nullptr;
}

// The page's root offers no Collection, and what holds the document says it is not visible: a
// few levels straight down, a few children each.
GObjectPtr<AtspiAccessible> AtspiAccessibility::webDocumentBelow(GObjectPtr<AtspiAccessible> root) {
    std::vector<GObjectPtr<AtspiAccessible>> level;
    level.push_back(std::move(root));
    for (int depth = 0; depth <= kWebDocumentDepth && !level.empty(); ++depth) {
        std::vector<GObjectPtr<AtspiAccessible>> next;
        for (auto& object : level) {
            if (calls_.role(object.get()) == ATSPI_ROLE_DOCUMENT_WEB) {
                return std::move(object);
            }
            int children = std::min(calls_.childCount(object.get()).value_or(0), kWebViewChildren);
            for (int i = 0; i < children; ++i) {
                if (auto child = calls_.child(object.get(), i)) {
                    next.push_back(std::move(child));
                }
            }
        }
        level = std::move(next);
    }
    return nullptr;
}

}  // namespace glimwick::os
