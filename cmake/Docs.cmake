# The documentation: docs/*.md is the one source. pandoc turns it into HTML
# pages and the man pages sentro(8), sentro(5) and sentroctl(1); sentroctl's
# page takes its body from tools/sentroctl/README.md. Without pandoc only the
# Markdown pages are installed.
find_program(PANDOC pandoc)
set(docs ${CMAKE_SOURCE_DIR}/docs)
set(doc_pages configuration service-definitions operations control-protocol)

foreach(page ${doc_pages})
  install(FILES ${docs}/${page}.md DESTINATION ${SENTRO_DOC_DIR})
endforeach()

# The references and the code cannot drift apart: every key the daemon reads
# is documented, every documented key is read.
if(SENTRO_TESTS)
  add_test(NAME docs.ReferencesListExactlyTheKeysTheDaemonReads
           COMMAND ${CMAKE_SOURCE_DIR}/tests/docs/check-doc-keys.sh ${CMAKE_SOURCE_DIR})
endif()

if(NOT PANDOC)
  message(STATUS "pandoc not found: no man pages or HTML documentation")
  return()
endif()

set(doc_outputs)
# HTML pages, one per Markdown page.
foreach(page ${doc_pages})
  set(out ${CMAKE_BINARY_DIR}/docs/html/${page}.html)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/docs/html
    COMMAND ${PANDOC} --standalone --from gfm --to html5 --metadata pagetitle=${page}
            --output ${out} ${docs}/${page}.md
    DEPENDS ${docs}/${page}.md
    VERBATIM)
  list(APPEND doc_outputs ${out})
  install(FILES ${out} DESTINATION ${SENTRO_DOC_DIR}/html)
endforeach()

# sentro_man(NAME SECTION SOURCES...): a gzipped man page from the man
# header page docs/man/NAME.SECTION.md followed by SOURCES, each without its
# first-level title (the man header gives the title).
function(sentro_man name section)
  set(page ${name}.${section})
  set(out ${CMAKE_BINARY_DIR}/docs/man/${page}.gz)
  set(sources ${docs}/man/${page}.md ${ARGN})
  string(REPLACE ";" "|" source_arg "${sources}")
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DPANDOC=${PANDOC} -DSOURCES=${source_arg}
            -DOUTPUT=${out} -DTITLE=${name} -DSECTION=${section}
            -DVERSION=${PROJECT_VERSION} -P ${CMAKE_SOURCE_DIR}/cmake/ManPage.cmake
    DEPENDS ${sources} ${CMAKE_SOURCE_DIR}/cmake/ManPage.cmake
    VERBATIM)
  set(doc_outputs ${doc_outputs} ${out} PARENT_SCOPE)
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endfunction()

sentro_man(sentro 8 ${docs}/operations.md)
sentro_man(sentro 5 ${docs}/configuration.md ${docs}/service-definitions.md)
sentro_man(sentroctl 1 ${CMAKE_SOURCE_DIR}/tools/sentroctl/README.md)

add_custom_target(sentro_docs ALL DEPENDS ${doc_outputs})
