#include "platform/portal/wayland_outputs.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include <wayland-client.h>

#include "xdg-output-unstable-v1-client-protocol.h"

namespace pelorin::platform::portal {
namespace {

struct Output {
  WaylandOutput info;
  wl_output* output = nullptr;
  zxdg_output_v1* xdgOutput = nullptr;
  int scale = 1;
  int x = 0, y = 0;  // wl_output's own position, used without xdg-output
};

struct Registry {
  std::vector<std::unique_ptr<Output>> outputs;
  zxdg_output_manager_v1* manager = nullptr;
};

void onGeometry(void* data, wl_output*, int32_t x, int32_t y, int32_t, int32_t, int32_t, const char*, const char*,
                int32_t) {
  auto* o = static_cast<Output*>(data);
  o->x = x;
  o->y = y;
}
void onMode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
  auto* o = static_cast<Output*>(data);
  if (!(flags & WL_OUTPUT_MODE_CURRENT)) return;
  o->info.pixelWidth = width;
  // Until xdg-output says otherwise: the mode at the output's scale.
  o->info.logicalFrame.width = width;
  o->info.logicalFrame.height = height;
}
void onDone(void*, wl_output*) {}
void onScale(void* data, wl_output*, int32_t factor) { static_cast<Output*>(data)->scale = factor > 0 ? factor : 1; }
void onName(void* data, wl_output*, const char* name) { static_cast<Output*>(data)->info.name = name; }
void onDescription(void* data, wl_output*, const char* text) { static_cast<Output*>(data)->info.description = text; }
const wl_output_listener outputListener = {onGeometry, onMode, onDone, onScale, onName, onDescription};

void onLogicalPosition(void* data, zxdg_output_v1*, int32_t x, int32_t y) {
  auto& frame = static_cast<Output*>(data)->info.logicalFrame;
  frame.x = x;
  frame.y = y;
}
void onLogicalSize(void* data, zxdg_output_v1*, int32_t width, int32_t height) {
  auto& frame = static_cast<Output*>(data)->info.logicalFrame;
  frame.width = width;
  frame.height = height;
}
void onXdgDone(void*, zxdg_output_v1*) {}
void onXdgName(void* data, zxdg_output_v1*, const char* name) { static_cast<Output*>(data)->info.name = name; }
void onXdgDescription(void* data, zxdg_output_v1*, const char* text) {
  static_cast<Output*>(data)->info.description = text;
}
const zxdg_output_v1_listener xdgOutputListener = {onLogicalPosition, onLogicalSize, onXdgDone, onXdgName,
                                                   onXdgDescription};

void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
  auto* r = static_cast<Registry*>(data);
  if (std::strcmp(interface, wl_output_interface.name) == 0) {
    auto o = std::make_unique<Output>();
    o->info.globalName = name;
    o->output = static_cast<wl_output*>(wl_registry_bind(registry, name, &wl_output_interface, std::min(version, 4u)));
    wl_output_add_listener(o->output, &outputListener, o.get());
    r->outputs.push_back(std::move(o));
  } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0) {
    r->manager = static_cast<zxdg_output_manager_v1*>(
        wl_registry_bind(registry, name, &zxdg_output_manager_v1_interface, std::min(version, 3u)));
  }
}
void onGlobalRemove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener registryListener = {onGlobal, onGlobalRemove};

void release(Registry& r) {
  for (auto& o : r.outputs) {
    if (o->xdgOutput) zxdg_output_v1_destroy(o->xdgOutput);
    if (wl_output_get_version(o->output) >= WL_OUTPUT_RELEASE_SINCE_VERSION) {
      wl_output_release(o->output);
    } else {
      wl_output_destroy(o->output);
    }
  }
  if (r.manager) zxdg_output_manager_v1_destroy(r.manager);
}

}  // namespace

Result<std::vector<WaylandOutput>> listWaylandOutputs() {
  wl_display* display = wl_display_connect(nullptr);
  if (!display) return Error{"PortalCapture", -1, "cannot connect to the Wayland compositor"};
  std::unique_ptr<wl_display, void (*)(wl_display*)> owner(display, wl_display_disconnect);
  Registry r;
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &registryListener, &r);
  // The first round trip brings the globals, the second the outputs' own events.
  int status = wl_display_roundtrip(display);
  if (status >= 0 && r.manager) {
    for (auto& o : r.outputs) {
      o->xdgOutput = zxdg_output_manager_v1_get_xdg_output(r.manager, o->output);
      zxdg_output_v1_add_listener(o->xdgOutput, &xdgOutputListener, o.get());
    }
  }
  if (status >= 0) status = wl_display_roundtrip(display);
  std::vector<WaylandOutput> outputs;
  for (auto& o : r.outputs) {
    if (!r.manager) {
      o->info.logicalFrame = Rect{double(o->x), double(o->y), o->info.logicalFrame.width / o->scale,
                                  o->info.logicalFrame.height / o->scale};
    }
    outputs.push_back(o->info);
  }
  release(r);
  wl_registry_destroy(registry);
  if (status < 0) return Error{"PortalCapture", -1, "the Wayland compositor closed the connection"};
  return outputs;
}

ShareableDisplay shareableDisplay(const WaylandOutput& output) {
  ShareableDisplay display;
  display.displayID = output.globalName;
  display.frame = output.logicalFrame;
  display.width = static_cast<int>(std::lround(output.logicalFrame.width));
  display.height = static_cast<int>(std::lround(output.logicalFrame.height));
  display.name = output.description.empty() ? output.name : output.description;
  return display;
}

double pixelScale(const WaylandOutput& output) {
  return output.pixelWidth > 0 && output.logicalFrame.width > 0 ? output.pixelWidth / output.logicalFrame.width : 1.0;
}

}  // namespace pelorin::platform::portal
