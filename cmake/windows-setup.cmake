# Windows parts of the setup executable: its resources (icon and manifest), the GUI subsystem,
# the product copies and a report of the size and the DLLs it imports.
set(FORKLIFT_XPM ${PROJECT_SOURCE_DIR}/src/res/forklift.xpm CACHE FILEPATH
    "XPM picture the main icon is made from")
set(FORKLIFT_ICO ${CMAKE_CURRENT_BINARY_DIR}/forklift.ico)
set(SETUP_MANIFEST ${PROJECT_SOURCE_DIR}/src/res/setup.manifest)
set(setup_rc ${CMAKE_CURRENT_BINARY_DIR}/setup.rc)
set(setup_res ${CMAKE_CURRENT_BINARY_DIR}/setup_res.o)

add_custom_command(
  OUTPUT ${FORKLIFT_ICO}
  COMMAND ${ICONGEN_EXECUTABLE} ${FORKLIFT_XPM} ${FORKLIFT_ICO}
  DEPENDS ${FORKLIFT_XPM} icongen_ext ${ICONGEN_EXECUTABLE}
  COMMENT "Making the main icon from ${FORKLIFT_XPM}"
  VERBATIM)
configure_file(${PROJECT_SOURCE_DIR}/src/res/setup.rc.in ${setup_rc} @ONLY)
# Compiled by hand, so that none of the C++ compile options reach the resource compiler.
add_custom_command(
  OUTPUT ${setup_res}
  COMMAND ${CMAKE_RC_COMPILER} -O coff -i ${setup_rc} -o ${setup_res}
  DEPENDS ${setup_rc} ${FORKLIFT_ICO} ${SETUP_MANIFEST}
  VERBATIM)
target_sources(setup PRIVATE ${setup_res})
set_target_properties(setup PROPERTIES WIN32_EXECUTABLE ON)
# Optimised across units as one program: a sixth smaller. GCC 12 can stop with an internal error
# in that step on some programs (it does for the build with a vendor key), so it can be turned off;
# optimising the whole program as one partition avoids the error seen in the partitioned step.
option(SETUP_LTO "Optimise setup.exe across units" ON)
if(SETUP_LTO)
  target_link_options(setup PRIVATE -flto -flto-partition=one)
endif()

set(product_copies)
foreach(name IN LISTS PRODUCT_NAMES)
  list(APPEND product_copies COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:setup>
       ${PROJECT_BINARY_DIR}/products/${name}.exe)
endforeach()
find_program(MINGW_OBJDUMP NAMES ${CMAKE_CXX_COMPILER_TARGET}-objdump x86_64-w64-mingw32-objdump
             REQUIRED)
add_custom_command(TARGET setup POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/products
  ${product_copies}
  COMMAND ${CMAKE_COMMAND} -DEXE=$<TARGET_FILE:setup> -DOBJDUMP=${MINGW_OBJDUMP}
          -P ${PROJECT_SOURCE_DIR}/cmake/windows-report.cmake
  VERBATIM)
