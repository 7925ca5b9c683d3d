# Programs and DLLs as the platform toolchain builds them: CodeView debug
# information in a PDB beside the image, no COFF symbol table, no DWARF.
# Debian's clang and lld do it with mingw's headers and libraries; lld keeps
# the static libraries' DWARF sections, which llvm-objcopy then drops.
find_program(TARNWICK_CLANGXX NAMES clang++ clang++-14 REQUIRED)
find_program(TARNWICK_LLVM_OBJCOPY NAMES llvm-objcopy llvm-objcopy-14 REQUIRED)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(TARNWICK_PDB_TARGET x86_64-w64-windows-gnu)
else()
  set(TARNWICK_PDB_TARGET i686-w64-windows-gnu)
endif()
execute_process(COMMAND ${CMAKE_C_COMPILER} -print-libgcc-file-name
  OUTPUT_VARIABLE TARNWICK_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(TARNWICK_GCC_LIB_DIR "${TARNWICK_LIBGCC}" DIRECTORY)
execute_process(COMMAND ${CMAKE_C_COMPILER} -dumpmachine
  OUTPUT_VARIABLE TARNWICK_GCC_MACHINE OUTPUT_STRIP_TRAILING_WHITESPACE)

# tarnwick_pdb_image(NAME FILE [PDB_MOVED_TO DIR] SOURCES...): builds FILE
# (name.exe, or a DLL when it ends in .dll) and name.pdb in the programs'
# directory, as the target NAME; with PDB_MOVED_TO the PDB then moves to DIR,
# where only a symbol path leads.
function(tarnwick_pdb_image name file)
  cmake_parse_arguments(P "" "PDB_MOVED_TO" "" ${ARGN})
  set(sources)
  foreach(source ${P_UNPARSED_ARGUMENTS})
    list(APPEND sources ${CMAKE_CURRENT_SOURCE_DIR}/${source})
  endforeach()
  set(image ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${file})
  get_filename_component(stem ${file} NAME_WE)
  set(kind)
  if(file MATCHES "\\.dll$")
    set(kind -shared)
  endif()
  set(include_dir ${TARNWICK_GCC_LIB_DIR}/include/c++)
  set(pdb ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${stem}.pdb)
  set(move)
  if(P_PDB_MOVED_TO)
    set(move COMMAND ${CMAKE_COMMAND} -E make_directory ${P_PDB_MOVED_TO}
             COMMAND ${CMAKE_COMMAND} -E rename ${pdb} ${P_PDB_MOVED_TO}/${stem}.pdb)
  endif()
  add_custom_command(OUTPUT ${image}
    COMMAND ${TARNWICK_CLANGXX} --target=${TARNWICK_PDB_TARGET} -fuse-ld=lld -g -gcodeview -O1
            -fno-omit-frame-pointer ${kind} -isystem ${include_dir} -isystem ${include_dir}/${TARNWICK_GCC_MACHINE}
            -isystem ${include_dir}/backward -I${PROJECT_SOURCE_DIR}/include ${sources} -o ${image}
            -L${TARNWICK_GCC_LIB_DIR} -static -lpthread -Wl,--pdb=${pdb}
    COMMAND ${TARNWICK_LLVM_OBJCOPY} --strip-debug ${image}
    ${move}
    DEPENDS ${sources}
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${image})
endfunction()
