# Writes the template of the "lumoret" domain, OUTPUT, from the sources' texts: run with
# cmake -DSOURCE_DIR=... -DOUTPUT=... -P xgettext.cmake. File names without line numbers
# and no creation date, so the template changes only when a text does.
find_program(XGETTEXT xgettext REQUIRED)
file(GLOB sources RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/engine/*.cpp ${SOURCE_DIR}/engine/*.h
     ${SOURCE_DIR}/ui/*.cpp ${SOURCE_DIR}/ui/*.h)
list(SORT sources)
execute_process(
  COMMAND ${XGETTEXT} --from-code=UTF-8 --language=C++ --add-location=file --sort-by-file
          --package-name=Lumoret --msgid-bugs-address=maintainers@lumoret.org
          --add-comments=TRANSLATORS: --keyword=_ --keyword=wxPLURAL:1,2 --keyword=Tr
          --keyword=TrN:1,2 --keyword=TR_NOOP --output=${OUTPUT}.new ${sources}
  WORKING_DIRECTORY ${SOURCE_DIR}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "xgettext failed")
endif()
file(READ ${OUTPUT}.new text)
file(REMOVE ${OUTPUT}.new)
string(REGEX REPLACE "\"POT-Creation-Date: [^\"]*\"\n" "" text "${text}")
string(REPLACE "charset=CHARSET" "charset=UTF-8" text "${text}")
file(WRITE ${OUTPUT} "${text}")
