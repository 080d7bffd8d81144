#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <unicode/uversion.h>

U_NAMESPACE_BEGIN
class BreakIterator;
U_NAMESPACE_END
struct UText;

namespace glimwick {

// Counts and cuts UTF-8 text by extended grapheme clusters. Owns its break iterator so that
// repeated calls do not rebuild it; not shared between owners.
class TextSegmenter {
public:
    TextSegmenter();
    ~TextSegmenter();
    TextSegmenter(const TextSegmenter&) = delete;
    TextSegmenter& operator=(const TextSegmenter&) = delete;

    struct Cut {
        std::string_view text;    // the first characters, up to the count asked for
        std::int64_t characters;  // how many that is
    };
    // The first count characters, or the whole text when it is shorter. The cost follows the
    // length of the prefix, not of the text.
    Cut cut(std::string_view text, std::int64_t count);
    std::string_view prefix(std::string_view text, std::int64_t count) {
        return cut(text, count).text;
    }
    std::int64_t count(std::string_view text);

private:
    bool attach(std::string_view text);
    std::unique_ptr<icu::BreakIterator> iterator_;
    UText* utext_ = nullptr;
};

// A 64-bit hash under which canonically equivalent texts are equal.
std::int64_t canonicalHash(std::string_view text);

// Equality of texts up to Unicode canonical equivalence (their NFC forms), nothing more.
bool canonicallyEqual(std::string_view a, std::string_view b);

// Truncation toward zero; callers check fitsInt64 first.
bool fitsInt64(double value);
std::int64_t truncateToInt64(double value);

}  // namespace glimwick
