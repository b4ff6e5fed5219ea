# Makes one man page from a Markdown source with go-md2man: a title line with
# the page's name, section and version goes first, then (when given) a NAME
# section, then the source as it is.
#   cmake -DMD2MAN=... -DIN=... -DOUT=... -DTITLE=... -DSECTION=... -DVERSION=...
#         [-DNAME_LINE=...] -P manpage.cmake
set(text "% ${TITLE} ${SECTION} \"\" \"KEL ${VERSION}\" \"KEL Manual\"\n\n")
if(DEFINED NAME_LINE)
  string(APPEND text "# NAME\n\n${NAME_LINE}\n\n")
endif()
file(READ "${IN}" body)
# Links to sections of the same page read as their text alone.
string(REGEX REPLACE "\\[([^]]*)\\]\\(#[^)]*\\)" "\\1" body "${body}")
string(APPEND text "${body}")
file(WRITE "${OUT}.md" "${text}")
execute_process(COMMAND "${MD2MAN}" -in "${OUT}.md" -out "${OUT}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "go-md2man failed on ${IN}: ${status}")
endif()
