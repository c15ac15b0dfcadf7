# Boost and the resource compiler of the Windows cross-build. LUMORET_BOOST_MINGW names
# the folder scripts/windows prepares: include/boost (a link to Debian's Boost headers and
# nothing else of /usr/include) and lib/libboost_thread.a (built from Debian's Boost
# sources). Asio and System are header-only here. wxWidgets comes through
# wxWidgets_CONFIG_EXECUTABLE, the wx-config of the static wxMSW build.
if(NOT LUMORET_BOOST_MINGW OR NOT EXISTS ${LUMORET_BOOST_MINGW}/lib/libboost_thread.a)
  message(FATAL_ERROR "LUMORET_BOOST_MINGW must name the folder scripts/windows prepares")
endif()

# Windows 7 API level for Asio; no old winsock.h through windows.h.
add_compile_definitions(_WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN)

add_library(Boost::system INTERFACE IMPORTED)
target_include_directories(Boost::system SYSTEM INTERFACE ${LUMORET_BOOST_MINGW}/include)
target_link_libraries(Boost::system INTERFACE ws2_32 mswsock)

add_library(Boost::thread STATIC IMPORTED)
set_target_properties(Boost::thread PROPERTIES
  IMPORTED_LOCATION ${LUMORET_BOOST_MINGW}/lib/libboost_thread.a
  INTERFACE_LINK_LIBRARIES Boost::system)

set(wxWidgets_CONFIG_OPTIONS --static=yes)
# The wxMSW install is a root of its own for find_file (its headers are not under
# MinGW's sysroot).
get_filename_component(wx_prefix "${wxWidgets_CONFIG_EXECUTABLE}/../.." ABSOLUTE)
list(APPEND CMAKE_FIND_ROOT_PATH ${wx_prefix})

# The resource script is UTF-8; the compiler warnings are for C++ only.
enable_language(RC)
set(CMAKE_RC_COMPILE_OBJECT
    "<CMAKE_RC_COMPILER> --codepage=65001 -O coff <DEFINES> <INCLUDES> <SOURCE> <OBJECT>")
