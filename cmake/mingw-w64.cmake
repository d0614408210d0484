# Cross build for Windows with Debian's MinGW-w64 (the POSIX-threads variant,
# whose C++ runtime has std::thread and friends). VQ_WINDOWS_ARCH picks the
# target: i686 (32-bit Windows, the library's own platform; preset win32) or
# x86_64 (preset win64, for machines whose kernel cannot run 32-bit programs
# and so no 32-bit Wine). Programs and the DLL link the compiler's runtime
# statically, so vqlink.dll needs nothing beside itself but the system's own
# DLLs. Test programs run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
if(NOT VQ_WINDOWS_ARCH)
  set(VQ_WINDOWS_ARCH i686)
endif()
set(CMAKE_SYSTEM_PROCESSOR ${VQ_WINDOWS_ARCH})

set(VQ_MINGW_PREFIX ${VQ_WINDOWS_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${VQ_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VQ_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VQ_MINGW_PREFIX}-windres)
set(CMAKE_OBJDUMP ${VQ_MINGW_PREFIX}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${VQ_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread go into each binary.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Debian's wine starts 32-bit programs; 64-bit ones need its wine64 loader.
if(VQ_WINDOWS_ARCH STREQUAL "x86_64")
  find_program(VQ_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
else()
  find_program(VQ_WINE wine)
endif()
if(VQ_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VQ_WINE})
endif()
