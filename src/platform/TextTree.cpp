#include "platform/TextTree.h"

namespace glimwick {

namespace {

constexpr std::string_view kEmbeddedObject = "\xEF\xBF\xBC";  // U+FFFC

bool isBlank(std::string_view text) {
    return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

// Bytes of the UTF-8 character starting at lead; 1 for a stray byte, so every walk ends.
size_t characterLength(unsigned char lead) {
    if (lead < 0xC0 || lead >= 0xF8) {
        return 1;
    }
    return lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

}  // namespace

std::vector<int> embeddedOffsets(std::string_view text) {
    std::vector<int> offsets;
    int offset = 0;
    for (size_t at = 0; at < text.size(); at += characterLength(text[at]), ++offset) {
        if (text.substr(at, kEmbeddedObject.size()) == kEmbeddedObject) {
            offsets.push_back(offset);
        }
    }
    return offsets;
}

void splitAtEmbedded(std::string_view text, const std::vector<int>& offsets,
                     const std::function<void(std::string_view)>& run,
                     const std::function<void(size_t)>& object) {
    size_t runStart = 0;
    size_t next = 0;
    int offset = 0;
    for (size_t at = 0; at < text.size() && next < offsets.size();
         at += characterLength(text[at]), ++offset) {
        if (offset == offsets[next]) {
            run(text.substr(runStart, at - runStart));
            runStart = at + characterLength(text[at]);
            object(next++);
        }
    }
    run(text.substr(std::min(runStart, text.size())));
}

void TextJoiner::appendRun(std::string_view run) {
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

void TextJoiner::beginObject(Layout layout) {
    crossed_ = true;
    if (layout != Layout::inlined) {
        pending_ = layout == Layout::cell && cellClosed_ ? '\t' : '\n';
    }
}

void TextJoiner::endObject(Layout layout) {
    if (layout != Layout::inlined) {
        pending_ = '\n';
        cellClosed_ = layout == Layout::cell;
    }
}

void TextJoiner::appendNode(const TextNode* node) {
    if (node == nullptr || node->secret) {
        return;
    }
    beginObject(node->layout);
    splitAtEmbedded(
        node->text, embeddedOffsets(node->text), [this](std::string_view run) { appendRun(run); },
        [&](size_t i) { appendNode(i < node->embedded.size() ? node->embedded[i] : nullptr); });
    endObject(node->layout);
}

}  // namespace glimwick
