# Tarnwick's CMake package: the imported targets Tarnwick::Tarnwick and the
# tools (see the README, "Using it in your program").
include(${CMAKE_CURRENT_LIST_DIR}/TarnwickTargets.cmake)
