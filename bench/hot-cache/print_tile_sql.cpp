// print_tile_sql LAYER ZOOM: the statement the server runs for one tile of LAYER at ZOOM,
// with the envelope as the named parameters :min_x, :min_y, :max_x and :max_y (which is
// also how pgbench names its variables).
#include <cstdlib>
#include <iostream>
#include <stdexcept>

#include "mapsvc/tile_gateway/tile_sql.hpp"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: print_tile_sql LAYER ZOOM\n";
    return 2;
  }
  try {
    std::cout << mapsvc::tile_gateway::generate_mvt_sql(argv[1], std::atoll(argv[2])).first << '\n';
  } catch (const std::exception& e) {
    std::cerr << "print_tile_sql: " << e.what() << '\n';
    return 1;
  }
}
