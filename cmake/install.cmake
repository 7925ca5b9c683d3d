# Installation and the CMake package: find_package(Tarnwick) gives the
# imported targets Tarnwick::Tarnwick (DLL, import library, header, debug
# flags) and one Tarnwick::<name> per program of tools/, of the architecture
# being built. Both builds install into one prefix: the 32-bit one into bin/
# and lib/, the 64-bit one into x64 directories beside them (bin/x64, lib/x64,
# lib/cmake/Tarnwick/x64), where each launcher finds the other.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(TARNWICK_ARCH_DIR /x64)
else()
  set(TARNWICK_ARCH_DIR "")
endif()

install(TARGETS Tarnwick EXPORT TarnwickTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}${TARNWICK_ARCH_DIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}${TARNWICK_ARCH_DIR})
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
    install(TARGETS ${tool} EXPORT TarnwickTargets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}${TARNWICK_ARCH_DIR})
  endif()
endforeach()

set(TARNWICK_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tarnwick)
install(EXPORT TarnwickTargets NAMESPACE Tarnwick:: DESTINATION ${TARNWICK_PACKAGE_DIR}${TARNWICK_ARCH_DIR})
# One version file for both builds: TarnwickConfig.cmake picks the
# architecture.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/TarnwickConfigVersion.cmake
  COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/TarnwickConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/TarnwickConfigVersion.cmake
  DESTINATION ${TARNWICK_PACKAGE_DIR})
