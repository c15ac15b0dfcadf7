# Cross-build for 32-bit Windows with Debian's MinGW-w64 (scripts/windows --arch i686).
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
