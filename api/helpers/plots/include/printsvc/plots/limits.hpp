#pragma once

// How much one plan may hold. The records come from HTTP bodies, so every size that drives the
// renderer's time or memory has a ceiling; anything above it is refused as bad input before any
// drawing work starts.
//
// A real plan holds one parcel with 4 to 50 beacons, about 150 neighbours of 5 to 20 positions
// and about 15 roads; names and beacon numbers are under 40 characters, bearings under 10. The
// ceilings leave room for far larger plans: 5000 lots and 200 roads of 100 positions take
// 0.15 s of processor time. Within them a plan can still be built to be costly (39 roads of 5000
// positions zig-zagging over the page: 51 s; 5000 beacons with 200-character labels needing a
// fallback font: 51 s), hence the time limit. Measured with mapsvc-plan on a two-core machine,
// the costliest plans found end with render_timeout_error after at most 4.8 s of processor time
// (the limit plus the last item: page-sized fills, then one ring of 4999 crossing sides) and
// 100 MB peak for the whole process, parsed input included.

#include <chrono>
#include <cstddef>

namespace printsvc::plots {

/// Characters (Unicode code points) in any printed text: a beacon name, a bearing, the parcel's
/// name, and the side lengths and area as printed. A parcel name of 200 characters runs one to
/// three times across the page, depending on the scale; a text that long is a mistake in the
/// records. Far longer texts were the costliest input of all: Cairo needs gigabytes to draw one
/// line of some 17000 characters.
inline constexpr std::size_t max_label_chars = 200;

/// Records in "parcel_data" (the selected parcel and its neighbours).
inline constexpr std::size_t max_parcels = 5000;

/// Positions in one parcel's outer ring or one road's line.
inline constexpr std::size_t max_line_positions = 5000;

/// Entries in the selected parcel's "boundary" (one beacon each).
inline constexpr std::size_t max_boundary_entries = 5000;

/// Roads in "road_data".
inline constexpr std::size_t max_roads = 5000;

/// Positions in all rings, road lines and boundary entries together.
inline constexpr std::size_t max_total_positions = 200000;

/// Plans in one batch (one PDF, a page each).
inline constexpr std::size_t max_batch_plans = 100;

/// Record keys a caller may name for a sheet's title block, and characters in one name. The
/// block has room for six rows beside the parcel's own; a key is a column name, never prose.
inline constexpr std::size_t max_sheet_fields = 6;
inline constexpr std::size_t max_sheet_field_name_chars = 64;

/// Processor time a plan may use (on the thread that renders it) before it is abandoned with
/// render_timeout_error. Real plans use 0.05 to 0.15 s. Processor time rather than the wall
/// clock, so that a busy machine slows plans down without failing them. The limit is checked
/// between display items (and between roads while laying out), so a call may overrun it by the
/// time of one item: about 2 s for a ring of 5000 positions whose sides all cross the page.
inline constexpr std::chrono::milliseconds default_render_time_limit{3000};

}  // namespace printsvc::plots
