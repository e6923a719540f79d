#pragma once

// Builders for plan records and readers for the plan's display list and PNG output.

#include <printsvc/plots/plots.hpp>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace plots_test {

namespace pl = printsvc::plots;
using json = nlohmann::ordered_json;

json position(double x, double y);
json ring_json(const std::vector<pl::point>& ring, bool closed = true);

/// A boundary entry; bearings default to whole numbers.
json beacon(const std::string& name, pl::point at, json distance, json deg = 45, json min = 30);

/// A boundary around `ring`, beacons named "P1".. in order, distances from the geometry.
json boundary_of(const std::vector<pl::point>& ring);

/// A parcel record with "parcel_number", "name", "area", "geometry" and, when given, "boundary".
json parcel(json number, const std::vector<pl::point>& ring, json boundary = nullptr, json name = "Plot",
            json area = 1000.0);

json road(const std::vector<pl::point>& line);

/// The 100 m square (0,0) (100,0) (100,100) (0,100), which plans at 1:1000.
std::vector<pl::point> square(double side = 100, pl::point origin = {0, 0});

pl::plan layout(const json& parcels, const json& selected, const json& roads = nullptr, const json& bbox = nullptr);

std::vector<pl::text_shape> texts(const pl::plan& p, pl::item_kind kind);
std::size_t count(const pl::plan& p, pl::item_kind kind);

struct image {
  int width = 0, height = 0;
  std::vector<std::uint8_t> rgb;
  std::uint32_t ppm_x = 0, ppm_y = 0;  // pHYs, pixels per metre
  const std::uint8_t* at(int x, int y) const { return &rgb[(static_cast<std::size_t>(y) * width + x) * 3]; }
};

image decode_png(const std::string& png);

/// Page pixel of a ground point (no label standing out of the page, so the crop starts at 0, 0).
void to_pixel(const pl::page_setup& page, pl::point p, int& x, int& y);

}  // namespace plots_test
