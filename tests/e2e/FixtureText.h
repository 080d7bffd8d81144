#pragma once

// What the GTK fixture window shows, shared with the tests that check what was read.
namespace glimwick::fixture {

inline constexpr const char* kViewText =
    "Glimwick watches the text you select.\n"
    "The quick brown fox jumps over the lazy dog.\n"
    "选区文本 and emoji 👍🏽 live here too.\n"
    "Last line of the view.";
inline constexpr const char* kToolbarText = "https://example.org/address-bar";
inline constexpr const char* kBoxText = "an entry inside a plain box";
inline constexpr const char* kPasswordText = "hunter2-secret-password";

}  // namespace glimwick::fixture
