# Tarnwick's CMake package: the imported targets Tarnwick::Tarnwick and the
# tools, of the architecture being built: the 64-bit build's from x64/, the
# 32-bit build's from here (see the README, "Using it in your program").
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_tarnwick_targets ${CMAKE_CURRENT_LIST_DIR}/x64/TarnwickTargets.cmake)
  set(_tarnwick_kind 64-bit)
else()
  set(_tarnwick_targets ${CMAKE_CURRENT_LIST_DIR}/TarnwickTargets.cmake)
  set(_tarnwick_kind 32-bit)
endif()
if(EXISTS ${_tarnwick_targets})
  include(${_tarnwick_targets})
else()
  set(Tarnwick_FOUND FALSE)
  set(Tarnwick_NOT_FOUND_MESSAGE "the ${_tarnwick_kind} build of Tarnwick is not installed here (install both builds into one prefix, see the README)")
endif()
unset(_tarnwick_targets)
unset(_tarnwick_kind)
