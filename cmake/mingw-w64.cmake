# Cross-building for 64-bit Windows with Debian's mingw-w64 (the posix-threads variant, which
# std::thread needs). GAPMEND_WINDOWS_PREFIX names the static GDAL/PROJ/sqlite/zlib that
# scripts/windows.sh builds; libraries and packages are looked up there and in mingw's own root.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_AR ${triple}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${triple}-ranlib CACHE FILEPATH "")

if(NOT GAPMEND_WINDOWS_PREFIX AND DEFINED ENV{GAPMEND_WINDOWS_PREFIX})
  set(GAPMEND_WINDOWS_PREFIX $ENV{GAPMEND_WINDOWS_PREFIX})
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES GAPMEND_WINDOWS_PREFIX)
set(CMAKE_FIND_ROOT_PATH /usr/${triple} ${GAPMEND_WINDOWS_PREFIX})
if(GAPMEND_WINDOWS_PREFIX)
  list(APPEND CMAKE_PREFIX_PATH ${GAPMEND_WINDOWS_PREFIX})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
