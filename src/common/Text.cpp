#include "common/Text.h"

#include <unicode/brkiter.h>
#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>

#include <cmath>
#include <functional>
#include <limits>
#include <optional>

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

TextSegmenter::Cut TextSegmenter::cut(std::string_view text, std::int64_t count) {
    if (count <= 0 || text.empty()) {
        return {text.substr(0, 0), 0};
    }
    if (!attach(text)) {
        return {text, static_cast<std::int64_t>(text.size())};
    }
    int32_t end = iterator_->first();
    std::int64_t characters = 0;
    while (characters < count) {
        int32_t next = iterator_->next();
        if (next == icu::BreakIterator::DONE) {
            break;
        }
        end = next;
        ++characters;
    }
    return {text.substr(0, static_cast<size_t>(end)), characters};
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

namespace {

const icu::Normalizer2* nfcNormalizer() {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
    return U_SUCCESS(status) ? normalizer : nullptr;
}

icu::StringPiece piece(std::string_view text) {
    return {text.data(), static_cast<int32_t>(text.size())};
}

// The NFC form, or nullopt when the text is already in it (the common case, checked on the
// UTF-8 bytes without converting them).
std::optional<std::string> nfcIfDifferent(std::string_view text) {
    const icu::Normalizer2* normalizer = nfcNormalizer();
    if (normalizer == nullptr || text.size() > static_cast<size_t>(INT32_MAX)) {
        return std::nullopt;
    }
    UErrorCode status = U_ZERO_ERROR;
    if (normalizer->isNormalizedUTF8(piece(text), status) || U_FAILURE(status)) {
        return std::nullopt;
    }
    std::string out;
    icu::StringByteSink<std::string> sink(&out);
    status = U_ZERO_ERROR;
    normalizer->normalizeUTF8(0, piece(text), sink, nullptr, status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    return out;
}

}  // namespace

std::int64_t canonicalHash(std::string_view text) {
    auto normalized = nfcIfDifferent(text);
    return static_cast<std::int64_t>(
        std::hash<std::string_view>{}(normalized ? std::string_view(*normalized) : text));
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
    if (a == b) {
        return true;
    }
    auto na = nfcIfDifferent(a);
    auto nb = nfcIfDifferent(b);
    return (na ? std::string_view(*na) : a) == (nb ? std::string_view(*nb) : b);
}

bool fitsInt64(double value) {
    // +-2^63 are exactly representable doubles; the range is [-2^63, 2^63).
    return std::isfinite(value) && value >= -9223372036854775808.0 && value < 9223372036854775808.0;
}

std::int64_t truncateToInt64(double value) {
    return static_cast<std::int64_t>(std::trunc(value));
}

}  // namespace glimwick
