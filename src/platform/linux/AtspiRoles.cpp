#include "platform/linux/AtspiRoles.h"

#include <algorithm>
#include <array>
#include <utility>

namespace glimwick::os {

namespace {

// What is not listed is unknown.
constexpr std::pair<AtspiRole, const char*> kRoleNames[] = {
    {ATSPI_ROLE_PASSWORD_TEXT, "AXTextField"},
    {ATSPI_ROLE_COMBO_BOX, "AXComboBox"},
    {ATSPI_ROLE_TOOL_BAR, "AXToolbar"},
    {ATSPI_ROLE_PANEL, "AXGroup"},
    {ATSPI_ROLE_GROUPING, "AXGroup"},
    {ATSPI_ROLE_FILLER, "AXGroup"},
    {ATSPI_ROLE_SECTION, "AXGroup"},
    {ATSPI_ROLE_FORM, "AXGroup"},
    // A web page's landmark (a search form, navigation), a group with a subrole elsewhere.
    {ATSPI_ROLE_LANDMARK, "AXGroup"},
    {ATSPI_ROLE_PARAGRAPH, "AXGroup"},
    {ATSPI_ROLE_TERMINAL, "AXTextArea"},
    {ATSPI_ROLE_DOCUMENT_TEXT, "AXTextArea"},
    {ATSPI_ROLE_DOCUMENT_FRAME, "AXWebArea"},
    {ATSPI_ROLE_DOCUMENT_WEB, "AXWebArea"},
    {ATSPI_ROLE_SCROLL_PANE, "AXScrollArea"},
    {ATSPI_ROLE_FRAME, "AXWindow"},
    {ATSPI_ROLE_WINDOW, "AXWindow"},
    {ATSPI_ROLE_DIALOG, "AXWindow"},
    {ATSPI_ROLE_APPLICATION, "AXApplication"},
    {ATSPI_ROLE_PUSH_BUTTON, "AXButton"},
    {ATSPI_ROLE_TOGGLE_BUTTON, "AXCheckBox"},
    {ATSPI_ROLE_CHECK_BOX, "AXCheckBox"},
    {ATSPI_ROLE_RADIO_BUTTON, "AXRadioButton"},
    {ATSPI_ROLE_LABEL, "AXStaticText"},
    {ATSPI_ROLE_STATIC, "AXStaticText"},
    {ATSPI_ROLE_LINK, "AXLink"},
    {ATSPI_ROLE_IMAGE, "AXImage"},
    {ATSPI_ROLE_MENU_BAR, "AXMenuBar"},
    {ATSPI_ROLE_MENU, "AXMenu"},
    {ATSPI_ROLE_MENU_ITEM, "AXMenuItem"},
    {ATSPI_ROLE_LIST, "AXList"},
    {ATSPI_ROLE_TABLE, "AXTable"},
    {ATSPI_ROLE_TABLE_CELL, "AXCell"},
    {ATSPI_ROLE_PAGE_TAB_LIST, "AXTabGroup"},
    {ATSPI_ROLE_SLIDER, "AXSlider"},
    {ATSPI_ROLE_SPIN_BUTTON, "AXIncrementor"},
};

// Objects that sit inside a line of text; everything else starts a line of its own.
constexpr std::array kInline = {
    ATSPI_ROLE_LINK,
    ATSPI_ROLE_IMAGE,
    ATSPI_ROLE_STATIC,
    ATSPI_ROLE_TEXT,
    ATSPI_ROLE_LABEL,
    ATSPI_ROLE_SUPERSCRIPT,
    ATSPI_ROLE_SUBSCRIPT,
    ATSPI_ROLE_MARK,
    ATSPI_ROLE_CONTENT_DELETION,
    ATSPI_ROLE_CONTENT_INSERTION,
    ATSPI_ROLE_FOOTNOTE,
    ATSPI_ROLE_PUSH_BUTTON,
    ATSPI_ROLE_CHECK_BOX,
    ATSPI_ROLE_RADIO_BUTTON,
    ATSPI_ROLE_MATH,
};

constexpr std::array kCells = {ATSPI_ROLE_TABLE_CELL, ATSPI_ROLE_TABLE_COLUMN_HEADER,
                               ATSPI_ROLE_TABLE_ROW_HEADER};

constexpr std::array kDocuments = {
    ATSPI_ROLE_DOCUMENT_TEXT,  ATSPI_ROLE_DOCUMENT_FRAME,        ATSPI_ROLE_DOCUMENT_WEB,
    ATSPI_ROLE_DOCUMENT_EMAIL, ATSPI_ROLE_DOCUMENT_PRESENTATION, ATSPI_ROLE_DOCUMENT_SPREADSHEET};

template <typename List>
bool contains(const List& list, AtspiRole role) {
    return std::find(list.begin(), list.end(), role) != list.end();
}

}  // namespace

const char* axRoleName(AtspiRole role, bool multiLine) {
    // A web page's <textarea> is an entry that says it has several lines.
    if (role == ATSPI_ROLE_TEXT || role == ATSPI_ROLE_ENTRY) {
        return multiLine ? "AXTextArea" : "AXTextField";
    }
    for (const auto& [atspiRole, name] : kRoleNames) {
        if (atspiRole == role) {
            return name;
        }
    }
    return "AXUnknown";
}

bool isSecret(std::optional<AtspiRole> role) {
    return !role || *role == ATSPI_ROLE_PASSWORD_TEXT;
}

Layout layoutOf(AtspiRole role) {
    if (contains(kCells, role)) {
        return Layout::cell;
    }
    return contains(kInline, role) ? Layout::inlined : Layout::block;
}

bool isDocument(AtspiRole role) {
    return contains(kDocuments, role);
}

bool holdsParagraphs(AtspiRole container, AtspiRole child) {
    return isDocument(container) ||
           ((container == ATSPI_ROLE_PANEL || container == ATSPI_ROLE_TABLE_CELL) &&
            child == ATSPI_ROLE_PARAGRAPH);
}

bool isSeparateDocument(AtspiRole role) {
    return role == ATSPI_ROLE_INTERNAL_FRAME || role == ATSPI_ROLE_EMBEDDED;
}

bool drawsOwnText(AtspiRole role, const std::function<bool()>& hasChildren) {
    if (role == ATSPI_ROLE_DRAWING_AREA || role == ATSPI_ROLE_CANVAS ||
        role == ATSPI_ROLE_TERMINAL) {
        return true;
    }
    return (role == ATSPI_ROLE_FILLER || role == ATSPI_ROLE_UNKNOWN) && !hasChildren();
}

bool isTopLevel(AtspiRole role) {
    return role == ATSPI_ROLE_FRAME || role == ATSPI_ROLE_WINDOW || role == ATSPI_ROLE_DIALOG;
}

}  // namespace glimwick::os
