#include "common/Text.h"

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>

#include <cmath>
#include <functional>
#include <limits>

namespace glimwick {

TextSegmenter::TextSegmenter() {
    UErrorCode status = U_ZERO_ERROR;
    iterator_.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) {
        iterator_.reset();
    }
}

TextSegmenter::~TextSegmenter() {
    if (utext_ != nullptr) {
        utext_close(utext_);
    }
}

bool TextSegmenter::attach(std::string_view text) {
    if (!iterator_ || text.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        return false;
    }
    UErrorCode status = U_ZERO_ERROR;
    // Reopening into the same UText reuses its storage; the text is not copied or scanned.
    utext_ = utext_openUTF8(utext_, text.data(), static_cast<int64_t>(text.size()), &status);
    if (U_FAILURE(status)) {
        return false;
    }
    iterator_->setText(utext_, status);
    return U_SUCCESS(status);
}

std::string_view TextSegmenter::prefix(std::string_view text, std::int64_t count) {
    if (count <= 0) {
        return text.substr(0, 0);
    }
    if (!attach(text)) {
        return text;
    }
    int32_t end = iterator_->first();
    for (std::int64_t i = 0; i < count; ++i) {
        int32_t next = iterator_->next();
        if (next == icu::BreakIterator::DONE) {
            return text;
        }
        end = next;
    }
    return text.substr(0, static_cast<size_t>(end));
}

std::int64_t TextSegmenter::count(std::string_view text) {
    if (text.empty() || !attach(text)) {
        return static_cast<std::int64_t>(text.size());
    }
    std::int64_t n = 0;
    iterator_->first();
    while (iterator_->next() != icu::BreakIterator::DONE) {
        ++n;
    }
    return n;
}

bool TextSegmenter::hasAtLeast(std::string_view text, std::int64_t n) {
    if (n <= 0) {
        return true;
    }
    if (!attach(text)) {
        return static_cast<std::int64_t>(text.size()) >= n;
    }
    iterator_->first();
    for (std::int64_t i = 0; i < n; ++i) {
        if (iterator_->next() == icu::BreakIterator::DONE) {
            return false;
        }
    }
    return true;
}

namespace {

std::string nfc(std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) {
        return std::string(text);
    }
    icu::UnicodeString source = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    if (normalizer->isNormalized(source, status) && U_SUCCESS(status)) {
        return std::string(text);
    }
    status = U_ZERO_ERROR;
    icu::UnicodeString normalized = normalizer->normalize(source, status);
    if (U_FAILURE(status)) {
        return std::string(text);
    }
    std::string out;
    normalized.toUTF8String(out);
    return out;
}

}  // namespace

std::int64_t canonicalHash(std::string_view text) {
    return static_cast<std::int64_t>(std::hash<std::string>{}(nfc(text)));
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
    return a == b || nfc(a) == nfc(b);
}

bool fitsInt64(double value) {
    // +-2^63 are exactly representable doubles; the range is [-2^63, 2^63).
    return std::isfinite(value) && value >= -9223372036854775808.0 && value < 9223372036854775808.0;
}

std::int64_t truncateToInt64(double value) {
    return static_cast<std::int64_t>(std::trunc(value));
}

}  // namespace glimwick
