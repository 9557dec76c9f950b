#pragma once

// Internal to the X11 backend: window titles as UTF-8, whatever encoding the client published
// them in (UTF8_STRING, STRING as Latin-1, or COMPOUND_TEXT as xterm and older clients do).

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <optional>
#include <string>

namespace pelorin::platform::x11 {

// A text property as UTF-8; nothing when it is not 8-bit text or cannot be decoded.
std::optional<std::string> textToUtf8(Display* display, const XTextProperty& text);

// The window's title: _NET_WM_NAME when the client set it, else WM_NAME decoded; nothing when
// the window has neither.
std::optional<std::string> windowTitle(Display* display, Window window);

}  // namespace pelorin::platform::x11
