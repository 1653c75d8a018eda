# CMake toolchain file for the Windows build: x86_64 Windows through Debian's MinGW-w64 cross
# compilers with the posix thread model, every program linked statically (libgcc, libstdc++ and
# winpthread included, so an .exe needs no MinGW DLL beside it).
#
#   prefix=$(scripts/windows-deps.sh)
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DQUIRADA_WINDOWS_DEPS_PREFIX="$prefix"
#   (or export QUIRADA_WINDOWS_DEPS_PREFIX="$prefix" before the first cmake run)
#
# Libraries, headers, CMake packages and pkg-config files are searched for only in that prefix
# (OpenSSL, libcurl, GoogleTest, and links to the RapidJSON and Firebird OO API headers) and in
# MinGW's own /usr/x86_64-w64-mingw32; programs (pkg-config, makensis...) are the build machine's.
# Test programs run under Wine through scripts/wine-run.sh (CMAKE_CROSSCOMPILING_EMULATOR), so
# ctest and gtest_discover_tests work as on Linux.
#
# What a project built with this file must add itself:
#   - libcurl is static: compile with CURL_STATICLIB defined and link, after libcurl, OpenSSL's
#     ssl and crypto and then crypt32 ws2_32 gdi32 bcrypt advapi32 user32
#     (`pkg-config --static --libs libcurl` in this setting prints the whole list);
#     CMake's FindCURL knows neither.
#   - RapidJSON and the Firebird headers: find_path(... rapidjson/document.h) and
#     find_path(... firebird/Interface.h) find <prefix>/include. Do not use RapidJSON's own
#     RapidJSONConfig.cmake from /usr/lib/cmake: it would put /usr/include on the include path.
#     Interface.h compiles with MinGW as it is, no define needed; but outside /usr/include it is
#     no system header any more, so -Wextra warns in it (unused parameter) unless its folder is
#     given as SYSTEM (target_include_directories(... SYSTEM ...)).
#   - There is no fbclient library to link here. Either load fbclient.dll at run time
#     (LoadLibraryW, then GetProcAddress(..., "fb_get_master_interface")), or make an import
#     library from the DLL (gendef fbclient.dll; x86_64-w64-mingw32-dlltool -d fbclient.def
#     -D fbclient.dll -l libfbclient.dll.a) and link that file by its path: with -static, -lfbclient
#     does not look at .dll.a files. Interface.h declares Firebird::fb_get_master_interface.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUIRADA_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUIRADA_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUIRADA_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QUIRADA_MINGW_TRIPLET}-windres)

# -static: libgcc, libstdc++ and libwinpthread come from their .a files, for programs and DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# The prefix that scripts/windows-deps.sh printed: a cache variable, or the environment variable
# of the same name. It is also put back into the environment, which the try_compile projects that
# CMake makes while it checks the compilers inherit.
if(NOT QUIRADA_WINDOWS_DEPS_PREFIX AND DEFINED ENV{QUIRADA_WINDOWS_DEPS_PREFIX})
  set(QUIRADA_WINDOWS_DEPS_PREFIX "$ENV{QUIRADA_WINDOWS_DEPS_PREFIX}")
endif()
if(NOT QUIRADA_WINDOWS_DEPS_PREFIX)
  message(FATAL_ERROR
    "QUIRADA_WINDOWS_DEPS_PREFIX is not set: run scripts/windows-deps.sh (as root) and pass the "
    "folder it prints, as -DQUIRADA_WINDOWS_DEPS_PREFIX=<folder> or in the environment variable "
    "of that name.")
endif()
if(NOT IS_DIRECTORY "${QUIRADA_WINDOWS_DEPS_PREFIX}/include")
  message(FATAL_ERROR "QUIRADA_WINDOWS_DEPS_PREFIX=${QUIRADA_WINDOWS_DEPS_PREFIX} has no include "
    "folder: is it the folder that scripts/windows-deps.sh printed?")
endif()
set(QUIRADA_WINDOWS_DEPS_PREFIX "${QUIRADA_WINDOWS_DEPS_PREFIX}" CACHE PATH
  "The folder of the static Windows libraries that scripts/windows-deps.sh built")
set(ENV{QUIRADA_WINDOWS_DEPS_PREFIX} "${QUIRADA_WINDOWS_DEPS_PREFIX}")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUIRADA_WINDOWS_DEPS_PREFIX)

set(CMAKE_FIND_ROOT_PATH "${QUIRADA_WINDOWS_DEPS_PREFIX}" /usr/${QUIRADA_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# FindOpenSSL: the static libraries of the prefix.
set(OPENSSL_ROOT_DIR "${QUIRADA_WINDOWS_DEPS_PREFIX}")
set(OPENSSL_USE_STATIC_LIBS TRUE)

# pkg-config (pkg_check_modules) reads only the prefix's .pc files, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} "${QUIRADA_WINDOWS_DEPS_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Windows programs run under Wine, in the project's own Wine prefix (see scripts/wine-env.sh).
get_filename_component(_quirada_wine_run "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh" ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_quirada_wine_run}")
unset(_quirada_wine_run)
