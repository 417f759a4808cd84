#pragma once

// The form of a dialog template: a dialog's size, caption and font, and one item per control, as
// the dialog builder lays them out. The application brings its own templates.

#include <span>

enum class ControlKind {
    GroupBox,
    RadioButton,
    CheckBox,
    ComboBox,
    PushButton,
    DefPushButton,
    Edit,
    StaticText,
    StaticBitmap,
    StaticIcon
};

// Style bits of a template item that the dialog builder honours.
enum ControlStyle : unsigned {
    kTabStop = 1u << 0,
    kGroup = 1u << 1,
    kReadOnly = 1u << 2,
    kBorder = 1u << 3,
    kAutoHScroll = 1u << 4,
    kSort = 1u << 5,
    kVScroll = 1u << 6,
    kCenterImage = 1u << 7,
    kClientEdge = 1u << 8,
    kNoPrefix = 1u << 9,
};

// One item of a dialog template: position and size in dialog units.
struct ControlTemplate {
    int id;
    ControlKind kind;
    const char* caption; // UTF-8; for pictures the resource id is in `resource`
    int x, y, cx, cy;
    unsigned style;
    int resource = 0;
};

struct DialogTemplate {
    int id;
    const char* caption;
    int cx, cy; // dialog units
    const char* fontFace;
    int pointSize;
    bool minimizeBox;
    std::span<const ControlTemplate> controls;
};
