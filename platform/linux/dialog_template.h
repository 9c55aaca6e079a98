// Dialog templates as plain data: what a resource script states for a dialog and its controls.
// Shared by the headless dialog layer, which creates its windows from it, and by the tests that
// compare it with the resource script and with the real dialog; it needs no Windows types.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// Window classes the layer knows.
enum HeadlessControlClass : int32_t {
    HEADLESS_BUTTON,
    HEADLESS_STATIC,
    HEADLESS_TRACKBAR,
};

// One control of a dialog template, as the resource script states it. Rectangles are in dialog
// units; id -1 marks a control nobody addresses.
struct HeadlessControlTemplate {
    int32_t id;
    HeadlessControlClass windowClass;
    const char *className;  // as written in the resource script
    uint32_t style;
    uint32_t exStyle;
    const char *text;
    int16_t x, y, cx, cy;
};

struct HeadlessDialogTemplate {
    int32_t resourceId;
    uint16_t language;  // LANGID
    const char *title;
    int16_t x, y, cx, cy;
    uint32_t style;
    uint32_t exStyle;
    uint16_t fontSize;
    const char *fontName;
    uint16_t fontWeight;
    uint8_t fontItalic;
    uint8_t fontCharset;
    const HeadlessControlTemplate *controls;
    size_t controlCount;
};

// The template with this resource id, or null (then DialogBoxParamA fails with -1).
const HeadlessDialogTemplate *FindHeadlessDialogTemplate(int32_t resourceId);

}
