# find_package(doorkit CONFIG REQUIRED) gives doorkit::doorkit, and doorkit::testkit for a
# door's own tests.
include(${CMAKE_CURRENT_LIST_DIR}/doorkitTargets.cmake)
