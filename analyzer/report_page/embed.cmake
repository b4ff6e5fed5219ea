# Writes the HTML report's style and script into a C++ source as raw string
# literals, so that keltrace carries its page and needs no file at run time.
#   cmake -DCSS=page.css -DJS=page.js -DOUT=report_page_assets.cpp -P embed.cmake
foreach(var CSS JS OUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "embed.cmake: ${var} is not set")
  endif()
endforeach()
file(READ "${CSS}" css)
file(READ "${JS}" js)
foreach(part css js)
  string(FIND "${${part}}" ")kelpage\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "embed.cmake: the ${part} holds the literal's closing delimiter")
  endif()
  # Inside <script> and <style> these would end or change the element.
  string(TOLOWER "${${part}}" lower)
  foreach(bad "</script" "</style" "<!--")
    string(FIND "${lower}" "${bad}" found)
    if(NOT found EQUAL -1)
      message(FATAL_ERROR "embed.cmake: the ${part} holds '${bad}'")
    endif()
  endforeach()
endforeach()
file(WRITE "${OUT}.tmp"
  "// Generated from analyzer/report_page by embed.cmake: do not edit.\n"
  "#include \"report_html.h\"\n\n"
  "const char kReportPageCss[] = R\"kelpage(${css})kelpage\";\n\n"
  "const char kReportPageJs[] = R\"kelpage(${js})kelpage\";\n")
file(RENAME "${OUT}.tmp" "${OUT}")
