#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace glimwick {

// How an embedded object's text joins the text around it, as a copy would give it.
enum class Layout { inlined, block, cell };

// The whole text of one object, with the objects its embedded-object characters (U+FFFC)
// stand for, in the order of those characters; null where one could not be found, and for a
// password field, whose text is never asked.
struct TextNode {
    Layout layout = Layout::inlined;
    bool secret = false;
    std::string text;
    std::vector<const TextNode*> embedded;
};

// Character offsets of the embedded-object characters of a UTF-8 text.
std::vector<int> embeddedOffsets(std::string_view text);

// Walks text, whose embedded-object characters stand at offsets (ascending, in characters):
// run(part) for each stretch between them, object(i) for the i-th of them.
void splitAtEmbedded(std::string_view text, const std::vector<int>& offsets,
                     const std::function<void(std::string_view)>& run,
                     const std::function<void(size_t)>& object);

// Joins text runs as a copy gives them: a line break between blocks, a tab between the cells
// of a row, white space that only separates blocks dropped.
class TextJoiner {
public:
    void appendRun(std::string_view run);
    void beginObject(Layout layout);
    void endObject(Layout layout);
    // A node and everything embedded in it; nothing of a password field.
    void appendNode(const TextNode* node);
    // Whether the text came from more than one object.
    bool crossed() const { return crossed_; }
    std::string take() { return std::move(text_); }

private:
    std::string text_;
    char pending_ = '\0';
    bool cellClosed_ = false;
    bool crossed_ = false;
};

}  // namespace glimwick
