# Cross build for 64-bit Windows with MinGW-w64 (posix thread model), against the static libraries
# that scripts/build-windows.sh builds into its deps folder.
#
# QUILLORA_WINDOWS_DEPS is that folder: -DQUILLORA_WINDOWS_DEPS=..., else the environment variable
# of the same name, else <build dir>/deps (what build-windows.sh makes).
#
# Tests run through scripts/windows/wine-run.sh: wine64, headless, with a Wine prefix per network
# namespace in a "wine" folder beside the program (a caller's WINEPREFIX is kept).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_AR x86_64-w64-mingw32-ar CACHE FILEPATH "")
set(CMAKE_RANLIB x86_64-w64-mingw32-ranlib CACHE FILEPATH "")

if(NOT QUILLORA_WINDOWS_DEPS)
  if(DEFINED ENV{QUILLORA_WINDOWS_DEPS})
    set(QUILLORA_WINDOWS_DEPS "$ENV{QUILLORA_WINDOWS_DEPS}")
  else()
    set(QUILLORA_WINDOWS_DEPS "${CMAKE_BINARY_DIR}/deps")
  endif()
endif()
set(QUILLORA_WINDOWS_DEPS "${QUILLORA_WINDOWS_DEPS}" CACHE PATH "Prefix of the cross-built libraries")
# try_compile projects read this file again in their own folder: they get the same prefix.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUILLORA_WINDOWS_DEPS)

# Libraries, headers and packages come only from the prefix and the compiler's own Windows root;
# programs (cmake helpers, pkg-config) from the build machine.
set(CMAKE_FIND_ROOT_PATH "${QUILLORA_WINDOWS_DEPS}" /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config (FindLibXml2 asks it) must read the prefix's .pc files, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} "${QUILLORA_WINDOWS_DEPS}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Links to the header-only libraries (Boost, nlohmann JSON); the compiler never sees /usr/include,
# whose glibc headers it would take.
set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES "${QUILLORA_WINDOWS_DEPS}/sysinclude")
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES "${QUILLORA_WINDOWS_DEPS}/sysinclude")

# -O2, as the Linux build: at -O3 this GCC (12) reports a false -Wrestrict inside libstdc++'s string
# concatenation.
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "")
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "")

# One executable that runs without the compiler's DLLs (libstdc++, libgcc, winpthread).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

set(CMAKE_CROSSCOMPILING_EMULATOR bash "${CMAKE_CURRENT_LIST_DIR}/../scripts/windows/wine-run.sh")
