# Boost, SQLite and the resource compiler of the Windows cross-build. Debian ships no Boost
# for MinGW: the build uses Debian's Boost headers (/usr/include/boost) and compiles
# Boost.Thread, with the part of Boost.Chrono it needs, from the sources of the same
# version, which scripts/windows unpacks into LUMORET_BOOST_SOURCE (libs/thread/src and
# libs/chrono/src). Asio and System are header-only. wxWidgets comes through
# wxWidgets_CONFIG_EXECUTABLE, the wx-config of the static wxMSW build.
set(LUMORET_BOOST_SOURCE "" CACHE PATH "Boost sources of Boost.Thread (scripts/windows)")
set(boost_libs ${LUMORET_BOOST_SOURCE}/libs)
if(NOT EXISTS ${boost_libs}/thread/src/win32/thread.cpp)
  message(FATAL_ERROR "LUMORET_BOOST_SOURCE must name the folder scripts/windows prepares")
endif()

# Windows 7 API level for Asio; no old winsock.h through windows.h.
add_compile_definitions(_WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN)

# The compiler sees Boost's headers and nothing else of /usr/include.
set(boost_include ${CMAKE_BINARY_DIR}/boost-include)
file(MAKE_DIRECTORY ${boost_include})
file(CREATE_LINK /usr/include/boost ${boost_include}/boost SYMBOLIC)

add_library(Boost::system INTERFACE IMPORTED)
target_include_directories(Boost::system SYSTEM INTERFACE ${boost_include})
target_link_libraries(Boost::system INTERFACE ws2_32 mswsock)

add_library(lumoret_boost_thread STATIC
  ${boost_libs}/thread/src/win32/thread.cpp
  ${boost_libs}/thread/src/win32/thread_primitives.cpp
  ${boost_libs}/thread/src/win32/tss_dll.cpp
  ${boost_libs}/thread/src/win32/tss_pe.cpp
  ${boost_libs}/thread/src/future.cpp
  ${boost_libs}/chrono/src/chrono.cpp
)
target_compile_definitions(lumoret_boost_thread PRIVATE BOOST_THREAD_BUILD_LIB=1)
# Boost's code, not ours: its warnings are not for us to fix.
target_compile_options(lumoret_boost_thread PRIVATE -w)
target_link_libraries(lumoret_boost_thread PUBLIC Boost::system)
add_library(Boost::thread ALIAS lumoret_boost_thread)

# SQLite for the history store: the amalgamation scripts/windows makes from Debian's source
# package, compiled in. No extension loading: nothing may make Lumoret load code.
set(LUMORET_SQLITE_SOURCE "" CACHE PATH "SQLite's sqlite3.c and sqlite3.h (scripts/windows)")
if(LUMORET_HISTORY)
  if(NOT EXISTS ${LUMORET_SQLITE_SOURCE}/sqlite3.c)
    message(FATAL_ERROR "LUMORET_SQLITE_SOURCE must name the folder scripts/windows prepares")
  endif()
  enable_language(C)
  add_library(lumoret_sqlite3 STATIC ${LUMORET_SQLITE_SOURCE}/sqlite3.c)
  target_include_directories(lumoret_sqlite3 SYSTEM PUBLIC ${LUMORET_SQLITE_SOURCE})
  target_compile_definitions(lumoret_sqlite3 PRIVATE SQLITE_THREADSAFE=1 SQLITE_DQS=0
    SQLITE_OMIT_LOAD_EXTENSION SQLITE_OMIT_DEPRECATED SQLITE_DEFAULT_MEMSTATUS=0)
  # SQLite's code, not ours.
  target_compile_options(lumoret_sqlite3 PRIVATE -w)
  add_library(SQLite::SQLite3 ALIAS lumoret_sqlite3)
endif()

set(wxWidgets_CONFIG_OPTIONS --static=yes)
# The wxMSW install is a root of its own for find_file (its headers are not under
# MinGW's sysroot). Its real path: wx-config names its folders by the path it was
# installed to, which a link may lead to (scripts/windows' cache of older days).
get_filename_component(wx_bin "${wxWidgets_CONFIG_EXECUTABLE}" DIRECTORY)
get_filename_component(wx_prefix "${wx_bin}/.." REALPATH)
list(APPEND CMAKE_FIND_ROOT_PATH ${wx_prefix})

# The resource script is UTF-8; the compiler warnings are for C++ only.
enable_language(RC)
set(CMAKE_RC_COMPILE_OBJECT
    "<CMAKE_RC_COMPILER> --codepage=65001 -O coff <DEFINES> <INCLUDES> <SOURCE> <OBJECT>")
