# cmake -DPANDOC=... -DSOURCES="a.md|b.md" -DOUTPUT=x.N.gz -DTITLE=x -DSECTION=N
#       -DVERSION=v -P ManPage.cmake
# Joins the sources into one page (dropping each one's first-level title line:
# the man header names the page), turns it into a man page and gzips it.
set(text "")
string(REPLACE "|" ";" SOURCES "${SOURCES}")
foreach(source ${SOURCES})
  file(READ ${source} body)
  string(REGEX REPLACE "^# [^\n]*\n" "" body "${body}")
  string(APPEND text "${body}\n")
endforeach()
string(REGEX REPLACE "\\.gz$" "" page "${OUTPUT}")
get_filename_component(dir ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${dir})
file(WRITE ${page}.md "${text}")
execute_process(
  COMMAND ${PANDOC} --standalone --from gfm --to man --shift-heading-level-by=-1
          --metadata title=${TITLE} --metadata section=${SECTION}
          --metadata "footer=Sentro ${VERSION}" --metadata "header=Sentro"
          --output ${page} ${page}.md
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "pandoc failed on ${page}.md")
endif()
# Left-aligned text: narrow table columns cannot be justified.
file(READ ${page} man)
string(REPLACE "\n.hy\n" "\n.hy\n.ad l\n" man "${man}")
file(WRITE ${page} "${man}")
file(REMOVE ${OUTPUT})
execute_process(COMMAND gzip -9n ${page} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${page}")
endif()
