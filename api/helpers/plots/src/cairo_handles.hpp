#pragma once

// Owners for the Cairo, Pango and GLib objects of one rendering call.

#include <cairo.h>
#include <pango/pangocairo.h>

#include <memory>

namespace printsvc::plots::detail {

struct surface_deleter {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct cairo_deleter {
  void operator()(cairo_t* c) const { cairo_destroy(c); }
};
struct font_options_deleter {
  void operator()(cairo_font_options_t* o) const { cairo_font_options_destroy(o); }
};
struct font_description_deleter {
  void operator()(PangoFontDescription* d) const { pango_font_description_free(d); }
};
struct gobject_deleter {
  void operator()(void* o) const { g_object_unref(o); }
};

using surface_ptr = std::unique_ptr<cairo_surface_t, surface_deleter>;
using cairo_ptr = std::unique_ptr<cairo_t, cairo_deleter>;
using font_options_ptr = std::unique_ptr<cairo_font_options_t, font_options_deleter>;
using font_description_ptr = std::unique_ptr<PangoFontDescription, font_description_deleter>;
template <typename T>
using gobject_ptr = std::unique_ptr<T, gobject_deleter>;

}  // namespace printsvc::plots::detail
