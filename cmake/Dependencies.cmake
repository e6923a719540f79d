# Every third-party dependency comes from Debian's packages (scripts/install-deps).

# Asio and Beast are header-only; CONFIG mode because CMake 3.25's FindBoost predates 1.81.
find_package(Boost 1.81.0 EXACT CONFIG REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)
find_package(fmt REQUIRED)
find_package(spdlog REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBPQ REQUIRED IMPORTED_TARGET libpq)
pkg_check_modules(HIREDIS REQUIRED IMPORTED_TARGET hiredis)
pkg_check_modules(GEOS REQUIRED IMPORTED_TARGET geos)
pkg_check_modules(PROJ REQUIRED IMPORTED_TARGET proj)
pkg_check_modules(PANGOCAIRO REQUIRED IMPORTED_TARGET cairo pangocairo)
pkg_check_modules(GLIB REQUIRED IMPORTED_TARGET glib-2.0)
pkg_check_modules(LIBPNG REQUIRED IMPORTED_TARGET libpng16)
pkg_check_modules(LIBDEFLATE REQUIRED IMPORTED_TARGET libdeflate)
pkg_check_modules(XXHASH REQUIRED IMPORTED_TARGET libxxhash)
pkg_check_modules(SQLITE3 REQUIRED IMPORTED_TARGET sqlite3)
pkg_check_modules(ZSTD REQUIRED IMPORTED_TARGET libzstd)
find_package(GTest REQUIRED)
find_package(benchmark REQUIRED)
include(GoogleTest)

# Asio keeps freed coroutine frames and operation states for reuse, two per thread by default;
# a tile request nests five frames, so with two most of them went back to malloc on every
# request. This changes the layout of Asio's per-thread state: every file of the project must
# see the same value, hence a definition for the whole tree rather than one per target.
add_compile_definitions(BOOST_ASIO_RECYCLING_ALLOCATOR_CACHE_SIZE=8)

# One place for the Asio flags every asynchronous component shares.
add_library(mapsvc_asio INTERFACE)
target_link_libraries(mapsvc_asio INTERFACE Boost::headers)
target_compile_definitions(mapsvc_asio INTERFACE
  BOOST_ASIO_NO_DEPRECATED)
