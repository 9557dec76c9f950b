#include "platform/x11/window_text.h"

#include <X11/Xatom.h>

namespace pelorin::platform::x11 {
namespace {

// ISO 8859-1 maps each byte to the code point of the same value.
std::string latin1ToUtf8(const unsigned char* bytes, unsigned long count) {
  std::string text;
  text.reserve(count);
  for (unsigned long i = 0; i < count; ++i) {
    const unsigned char c = bytes[i];
    if (c < 0x80) {
      text.push_back(static_cast<char>(c));
    } else {
      text.push_back(static_cast<char>(0xc0 | (c >> 6)));
      text.push_back(static_cast<char>(0x80 | (c & 0x3f)));
    }
  }
  return text;
}

// Xlib converts through its own charset tables to UTF-8; the locale only picks which tables it
// loads, and the encoder never leaves the C locale, so the user's locale settings play no part.
std::optional<std::string> convertWithXlib(Display* display, const XTextProperty& text) {
  XTextProperty property = text;
  char** list = nullptr;
  int count = 0;
  // A positive result counts characters Xlib had to replace: the rest is still good text.
  if (Xutf8TextPropertyToTextList(display, &property, &list, &count) < Success || !list) return std::nullopt;
  std::string joined;
  for (int i = 0; i < count; ++i) {
    if (i > 0) joined.push_back(' ');  // a list's items are separated by NUL in the property
    joined += list[i];
  }
  XFreeStringList(list);
  return joined;
}

}  // namespace

std::optional<std::string> textToUtf8(Display* display, const XTextProperty& text) {
  if (!text.value || text.format != 8) return std::nullopt;
  if (text.encoding == XInternAtom(display, "UTF8_STRING", False)) {
    return std::string(reinterpret_cast<const char*>(text.value), text.nitems);
  }
  if (text.encoding == XA_STRING) return latin1ToUtf8(text.value, text.nitems);
  return convertWithXlib(display, text);
}

std::optional<std::string> windowTitle(Display* display, Window window) {
  std::optional<std::string> title;
  XTextProperty text{};
  if (XGetTextProperty(display, window, &text, XInternAtom(display, "_NET_WM_NAME", False)) && text.nitems > 0) {
    title = textToUtf8(display, text);
  }
  if (text.value) XFree(text.value);
  if (title) return title;
  text = {};
  if (XGetWMName(display, window, &text) && text.nitems > 0) title = textToUtf8(display, text);
  if (text.value) XFree(text.value);
  return title;
}

}  // namespace pelorin::platform::x11
