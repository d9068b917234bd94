# Third-party parts of the Windows cross build, compiled here with the cross compiler: the JPEG
# codec (static, C only) and GoogleTest; plus the host tool that makes the icon.
include(ExternalProject)

set(WINDOWS_DEPS_PREFIX ${PROJECT_BINARY_DIR}/deps)
# Build paths stay out of what is compiled, so that builds in different folders are identical.
set(WINDOWS_DEPS_PATH_MAP "-ffile-prefix-map=${PROJECT_BINARY_DIR}=build")

# A further Windows tree (one built with a vendor key, say) may take the codec and the icon maker
# from a first one instead of building them again.
set(WINDOWS_DEPS_FROM "" CACHE PATH "A Windows build tree whose codec and icon maker to reuse")
set(reused_deps ${WINDOWS_DEPS_FROM}/deps)
if(WINDOWS_DEPS_FROM AND EXISTS ${reused_deps}/jpeg/lib/libjpeg.a
   AND EXISTS ${reused_deps}/icongen/bin/icongen)
  add_library(JPEG::JPEG STATIC IMPORTED GLOBAL)
  set_target_properties(JPEG::JPEG PROPERTIES
    IMPORTED_LOCATION ${reused_deps}/jpeg/lib/libjpeg.a
    INTERFACE_INCLUDE_DIRECTORIES ${reused_deps}/jpeg/include)
  add_custom_target(icongen_ext)
  set(ICONGEN_EXECUTABLE ${reused_deps}/icongen/bin/icongen)
else()
  # --- JPEG codec from the Debian source package, fetched by scripts/install-windows-deps.sh.
  file(GLOB LIBJPEG_TURBO_TARBALLS ${PROJECT_BINARY_DIR}/src/libjpeg-turbo_*.orig.tar.*)
  set(LIBJPEG_TURBO_TARBALL "${LIBJPEG_TURBO_TARBALLS}" CACHE FILEPATH
      "Source tarball of the JPEG codec for the Windows build")
  # A value that names no file (the source was not fetched yet) is looked for again each time.
  if(NOT EXISTS "${LIBJPEG_TURBO_TARBALL}")
    set_property(CACHE LIBJPEG_TURBO_TARBALL PROPERTY VALUE "${LIBJPEG_TURBO_TARBALLS}")
  endif()
  if(NOT LIBJPEG_TURBO_TARBALL OR NOT EXISTS "${LIBJPEG_TURBO_TARBALL}")
    message(FATAL_ERROR "The JPEG codec source is missing from ${PROJECT_BINARY_DIR}/src. "
                        "Run scripts/install-windows-deps.sh first, or set LIBJPEG_TURBO_TARBALL.")
  endif()

  set(jpeg_dir ${WINDOWS_DEPS_PREFIX}/jpeg)
  # The extracted source is trimmed to what the decoder needs (see the script for why).
  set(jpeg_trim_script ${CMAKE_CURRENT_LIST_DIR}/libjpeg-turbo/decode-only.cmake)
  # Only the static library is built and installed: the codec's command-line tools are not needed.
  set(jpeg_headers jpeglib.h jerror.h jmorecfg.h)
  ExternalProject_Add(jpeg_turbo_ext
    URL ${LIBJPEG_TURBO_TARBALL}
    PATCH_COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=<SOURCE_DIR> -P ${jpeg_trim_script}
    PREFIX ${WINDOWS_DEPS_PREFIX}/jpeg-build
    INSTALL_DIR ${jpeg_dir}
    # The program only decodes two small baseline pictures: no SIMD code (a few microseconds more
    # for 40 x 27 pixels), no arithmetic coding, no JPEGMEM variable, and the C library's own printf,
    # so that the codec pulls in no formatting code of the compiler's.
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
               -DCMAKE_BUILD_TYPE=MinSizeRel
               -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR>
               "-DCMAKE_C_FLAGS=-ffunction-sections -fdata-sections -D__USE_MINGW_ANSI_STDIO=0 -DNO_GETENV ${WINDOWS_DEPS_PATH_MAP} -ffile-prefix-map=<SOURCE_DIR>=jpeg"
               -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF -DWITH_SIMD=OFF
               -DWITH_JPEG8=OFF -DWITH_ARITH_DEC=OFF -DWITH_ARITH_ENC=OFF
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target jpeg-static
    INSTALL_COMMAND ${CMAKE_COMMAND} -E make_directory <INSTALL_DIR>/lib <INSTALL_DIR>/include
            COMMAND ${CMAKE_COMMAND} -E copy <BINARY_DIR>/libjpeg.a <INSTALL_DIR>/lib/libjpeg.a
            COMMAND ${CMAKE_COMMAND} -E copy <BINARY_DIR>/jconfig.h <INSTALL_DIR>/include/jconfig.h
            COMMAND ${CMAKE_COMMAND} -E chdir <SOURCE_DIR> ${CMAKE_COMMAND} -E copy ${jpeg_headers}
                    <INSTALL_DIR>/include
    BUILD_BYPRODUCTS ${jpeg_dir}/lib/libjpeg.a)
  file(MAKE_DIRECTORY ${jpeg_dir}/include)
  add_library(JPEG::JPEG STATIC IMPORTED GLOBAL)
  set_target_properties(JPEG::JPEG PROPERTIES
    IMPORTED_LOCATION ${jpeg_dir}/lib/libjpeg.a
    INTERFACE_INCLUDE_DIRECTORIES ${jpeg_dir}/include)
  add_dependencies(JPEG::JPEG jpeg_turbo_ext)
  ExternalProject_Add_StepDependencies(jpeg_turbo_ext patch ${jpeg_trim_script})

  # --- The icon maker runs on the build machine, so it gets a configure step of its own with the
  # host compiler (no toolchain file is handed down).
  set(icongen_dir ${WINDOWS_DEPS_PREFIX}/icongen)
  ExternalProject_Add(icongen_ext
    SOURCE_DIR ${PROJECT_SOURCE_DIR}/tools/icongen
    PREFIX ${WINDOWS_DEPS_PREFIX}/icongen-build
    INSTALL_DIR ${icongen_dir}
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR>
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${icongen_dir}/bin/icongen)
  set(ICONGEN_EXECUTABLE ${icongen_dir}/bin/icongen)
endif()

# --- GoogleTest from the Debian source, for the tests that run under wine.
set(gtest_dir ${WINDOWS_DEPS_PREFIX}/gtest)
set(gtest_prelude ${CMAKE_CURRENT_LIST_DIR}/gtest-notification-win32.h)
ExternalProject_Add(gtest_ext
  SOURCE_DIR /usr/src/googletest
  PREFIX ${WINDOWS_DEPS_PREFIX}/gtest-build
  INSTALL_DIR ${gtest_dir}
  # The compiler's win32 thread model has no std::mutex: GoogleTest's one use of it is replaced.
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
             -DCMAKE_BUILD_TYPE=MinSizeRel
             -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR>
             -DCMAKE_INSTALL_LIBDIR=lib
             "-DCMAKE_CXX_FLAGS=-include ${gtest_prelude}"
             -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON -Dgtest_disable_pthreads=ON
  BUILD_BYPRODUCTS ${gtest_dir}/lib/libgtest.a ${gtest_dir}/lib/libgtest_main.a)
file(MAKE_DIRECTORY ${gtest_dir}/include)
add_library(GTest::gtest STATIC IMPORTED GLOBAL)
set_target_properties(GTest::gtest PROPERTIES
  IMPORTED_LOCATION ${gtest_dir}/lib/libgtest.a
  INTERFACE_INCLUDE_DIRECTORIES ${gtest_dir}/include
  INTERFACE_COMPILE_OPTIONS "SHELL:-include ${gtest_prelude}")
add_dependencies(GTest::gtest gtest_ext)
add_library(GTest::gtest_main STATIC IMPORTED GLOBAL)
set_target_properties(GTest::gtest_main PROPERTIES
  IMPORTED_LOCATION ${gtest_dir}/lib/libgtest_main.a
  INTERFACE_LINK_LIBRARIES GTest::gtest)
add_dependencies(GTest::gtest_main gtest_ext)
