# The catalogs' test: po/lumoret.pot is what xgettext makes of the sources today (a text
# added without updating it would never be translated), and every po/<lang>.po, merged
# with it, translates every text, none fuzzy. Run with
# cmake -DSOURCE_DIR=... -DWORK_DIR=... -P check_catalogs.cmake.
find_program(MSGMERGE msgmerge REQUIRED)
find_program(MSGFMT msgfmt REQUIRED)
set(fresh ${WORK_DIR}/lumoret.pot)
execute_process(COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${SOURCE_DIR} -DOUTPUT=${fresh}
                        -P ${SOURCE_DIR}/po/xgettext.cmake RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "xgettext over the sources failed")
endif()
file(READ ${fresh} made)
file(READ ${SOURCE_DIR}/po/lumoret.pot kept)
if(NOT made STREQUAL kept)
  message(FATAL_ERROR "po/lumoret.pot is not up to date with the sources: run "
                      "cmake --build <build> --target lumoret_pot, then msgmerge --update "
                      "po/<lang>.po po/lumoret.pot and translate what is new")
endif()
file(GLOB catalogs ${SOURCE_DIR}/po/*.po)
foreach(po IN LISTS catalogs)
  get_filename_component(language ${po} NAME_WE)
  set(merged ${WORK_DIR}/${language}.po)
  execute_process(COMMAND ${MSGMERGE} --quiet --no-fuzzy-matching --output-file=${merged} ${po} ${fresh}
                  RESULT_VARIABLE status)
  execute_process(COMMAND ${MSGFMT} --check --statistics --output-file=/dev/null ${merged}
                  RESULT_VARIABLE status ERROR_VARIABLE statistics)
  if(NOT status EQUAL 0 OR statistics MATCHES "untranslated|fuzzy")
    message(FATAL_ERROR "po/${language}.po is not complete: ${statistics}")
  endif()
  message(STATUS "${language}: ${statistics}")
endforeach()
