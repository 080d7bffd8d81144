// Counting and cutting by grapheme clusters, hashing up to canonical equivalence, and joining a
// tree of objects' texts as a copy gives it.

#include <gtest/gtest.h>

#include "common/Text.h"
#include "platform/TextTree.h"

namespace glimwick {
namespace {

TEST(TextSegmenter, CountsExtendedGraphemeClusters) {
    TextSegmenter text;
    EXPECT_EQ(text.count(""), 0);
    EXPECT_EQ(text.count("ab"), 2);
    EXPECT_EQ(text.count("\r\n"), 1);
    EXPECT_EQ(text.count("e\xcc\x81"), 1);  // e + combining acute
    EXPECT_EQ(text.count("\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd"
                         "ab"),
              3);                                                  // thumbs up + skin tone
    EXPECT_EQ(text.count("\xf0\x9f\x87\xa8\xf0\x9f\x87\xb3"), 1);  // flag: two regional indicators
    EXPECT_EQ(text.count("选区文本"), 4);
    EXPECT_EQ(text.cut("\r\n", 20).characters, 1);
    EXPECT_EQ(text.cut("  ", 20).characters, 2);
    EXPECT_EQ(text.cut(std::string(100, 'a'), 20).characters, 20);
}

TEST(TextSegmenter, PrefixNeverSplitsACharacter) {
    TextSegmenter text;
    EXPECT_EQ(text.prefix("abc", 2), "ab");
    EXPECT_EQ(text.prefix("abc", 5), "abc");
    EXPECT_EQ(text.prefix("abc", 0), "");
    EXPECT_EQ(text.prefix("选区文本", 2), "选区");
    EXPECT_EQ(text.prefix("\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd"
                          "ab",
                          1),
              "\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd");
    EXPECT_EQ(text.prefix("a\r\nb", 2), "a\r\n");
}

TEST(TextSegmenter, InvalidUTF8IsCutWithoutFailing) {
    TextSegmenter text;
    std::string bad =
        "a\xff\xfe"
        "b";
    EXPECT_EQ(text.count(bad), 4);
    EXPECT_EQ(text.prefix(bad, 2), "a\xff");
}

TEST(CanonicalEquivalence, PrecomposedAndDecomposedFormsAgree) {
    const std::string precomposed = "caf\xc3\xa9";  // é as one code point
    const std::string decomposed = "cafe\xcc\x81";  // e + combining acute
    EXPECT_EQ(canonicalHash(precomposed), canonicalHash(decomposed));
    EXPECT_NE(canonicalHash(precomposed), canonicalHash("cafe"));
    EXPECT_TRUE(
        canonicallyEqual("/Applications/Caf\xc3\xa9.app", "/Applications/Cafe\xcc\x81.app"));
    EXPECT_FALSE(canonicallyEqual("/Applications/Glimwick.app", "/Applications/Glimwick.app/"));
    EXPECT_FALSE(canonicallyEqual("/Applications/glimwick.app", "/Applications/Glimwick.app"));
    // Compatibility forms are not canonical equivalents.
    EXPECT_FALSE(canonicallyEqual("\xef\xac\x81", "fi"));
}

// Each object's text stands for itself, U+FFFC (E) for the objects embedded in it.
TEST(TextTree, ObjectsJoinAsACopyGivesThem) {
    const std::string E = "\xEF\xBF\xBC";
    auto node = [](Layout layout, std::string text, std::vector<const TextNode*> embedded = {},
                   bool secret = false) {
        return TextNode{layout, secret, std::move(text), std::move(embedded)};
    };
    TextNode one = node(Layout::block, "One");
    TextNode two = node(Layout::block, "Two");
    TextNode link = node(Layout::inlined, "five");
    TextNode a = node(Layout::cell, "a"), b = node(Layout::cell, "b");
    TextNode c = node(Layout::cell, "c"), d = node(Layout::cell, "d");
    TextNode row1 = node(Layout::block, E + E, {&a, &b});
    TextNode row2 = node(Layout::block, E + E, {&c, &d});
    TextNode password = node(Layout::inlined, "hunter2", {}, true);
    struct Case {
        TextNode root;
        const char* joined;
    };
    for (const Case& c : std::initializer_list<Case>{
             {node(Layout::inlined, E + E, {&one, &two}), "One\nTwo"},
             {node(Layout::inlined, E + " \n\t " + E, {&one, &two}), "One\nTwo"},  // blank run
             {node(Layout::inlined, "Pack " + E + " jugs", {&link}), "Pack five jugs"},
             {node(Layout::inlined, E + E, {&row1, &row2}), "a\tb\nc\td"},
             {node(Layout::inlined, "pw: " + E + ".", {&password}), "pw: ."},
             {node(Layout::inlined, "gone: " + E + ".", {nullptr}), "gone: ."},
             {node(Layout::inlined, "more" + E + E, {&one}), "more\nOne"},  // fewer objects
         }) {
        TextJoiner joiner;
        joiner.appendNode(&c.root);
        EXPECT_EQ(joiner.take(), c.joined);
    }
    EXPECT_EQ(embeddedOffsets("a" + E + "\xC3\xA9" + E), (std::vector<int>{1, 3}));
    EXPECT_EQ(embeddedOffsets("\xFF\xFF" + E), (std::vector<int>{2})) << "a stray byte is one";
}

}  // namespace
}  // namespace glimwick
