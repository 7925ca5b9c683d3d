# Installation and the CMake package: find_package(Tarnwick) gives the
# imported targets Tarnwick::Tarnwick (DLL, import library, header, debug
# flags) and one Tarnwick::<name> per program of tools/.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS Tarnwick EXPORT TarnwickTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/tarnwick.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# Every program that tools/ builds goes beside the DLL, which the programs
# find there.
set(TARNWICK_TOOL_TARGETS)
if(TARNWICK_BUILD_TOOLS)
  get_property(TARNWICK_TOOL_TARGETS DIRECTORY ${PROJECT_SOURCE_DIR}/tools PROPERTY BUILDSYSTEM_TARGETS)
endif()
foreach(tool ${TARNWICK_TOOL_TARGETS})
  get_target_property(type ${tool} TYPE)
  if(type STREQUAL "EXECUTABLE")
    install(TARGETS ${tool} EXPORT TarnwickTargets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

set(TARNWICK_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tarnwick)
install(EXPORT TarnwickTargets NAMESPACE Tarnwick:: DESTINATION ${TARNWICK_PACKAGE_DIR})
# The version file also refuses the package to a 64-bit project.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/TarnwickConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/TarnwickConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/TarnwickConfigVersion.cmake
  DESTINATION ${TARNWICK_PACKAGE_DIR})
