# The user's settings: the file, its checked values and the toolkit's config over it. Needs
# only wxWidgets' base, so that the fuzz build, which has no GUI, can read settings too.
find_package(wxWidgets 3.2 REQUIRED COMPONENTS base)
add_library(lumoret_settings STATIC
  ${PROJECT_SOURCE_DIR}/ui/log_capture.cpp
  ${PROJECT_SOURCE_DIR}/ui/lumoret_settings.cpp
  ${PROJECT_SOURCE_DIR}/ui/settings_file.cpp)
target_include_directories(lumoret_settings PUBLIC ${PROJECT_SOURCE_DIR})
target_include_directories(lumoret_settings SYSTEM PUBLIC ${wxWidgets_INCLUDE_DIRS})
target_compile_definitions(lumoret_settings PUBLIC ${wxWidgets_DEFINITIONS})
target_compile_options(lumoret_settings PUBLIC ${wxWidgets_CXX_FLAGS})
target_link_libraries(lumoret_settings PUBLIC lumoret_platform ${wxWidgets_LIBRARIES})
