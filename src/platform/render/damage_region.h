#pragma once

// Bookkeeping of damage-driven capture, free of any window system: the changed rectangles merged
// to a few boxes worth a read each, and the frame pixels a changed source rectangle reaches
// through the scaler.

#include <cstdint>
#include <vector>

#include "platform/render/frame_render.h"

namespace pelorin::platform::render {

// The smallest rectangle holding both; an empty one adds nothing.
PixelRect unite(const PixelRect& a, const PixelRect& b);

std::int64_t areaOf(const PixelRect& r);
std::int64_t areaOf(const std::vector<PixelRect>& rects);

// The rectangles, empty ones dropped, merged until at most `limit` boxes hold them all and none
// overlaps another; each merge is the one that adds the least area. Damage in very many pieces
// is one box around them all, since merging them pairwise costs more than reading a little more.
std::vector<PixelRect> mergeBoxes(std::vector<PixelRect> rects, std::size_t limit);

// Damage is worked in at most this many boxes: each one is a read or a pass of the scaler.
inline constexpr std::size_t mostDamageBoxes = 8;
// Damage may go unreported (some drivers and compositors report too little): a frame asked for this
// long after the last whole one is drawn whole, so the periodic key frame heals what was missed.
inline constexpr double longestDamageTrustSeconds = 1;

// Whether the boxes cover over half of `whole`: drawing all of it is then cheaper than pieces.
bool coversMostOf(const std::vector<PixelRect>& boxes, const PixelRect& whole);

// The frame pixels whose values depend on `changed` (source pixels, relative to layout.source):
// its image through the scale, grown by the reach of the scaling filter, on whole chroma samples
// of the placement, and within it.
PixelRect reachedPixels(const FrameLayout& layout, const PixelRect& changed);

}  // namespace pelorin::platform::render
