# Joins the page sources into the single page the host serves, with the style sheets
# and the script inline:
#   cmake -DUI_DIR=<apps/vantriel/ui> -DOUTPUT=<page.html> [-DESBUILD=<esbuild>] -P build_page.cmake
# index.html, with the parts it includes from parts/ (page_modules.cmake), names its style
# sheets in order with <link rel="stylesheet" href="css/NAME.css">
# and its one entry module with <script type="module" src="js/NAME.js"></script> (the
# tags a browser would load). The sheets become one <style>, minified; esbuild bundles the
# entry module and everything it imports into one <script>. Every file in css/ must be
# named and every file in js/ but the web page's (web_*.js) imported, so none is left out unseen, and the modules'
# imports must form no cycle.
cmake_minimum_required(VERSION 3.25)
include("${CMAKE_CURRENT_LIST_DIR}/page_modules.cmake")

if(NOT UI_DIR OR NOT OUTPUT)
  message(FATAL_ERROR "build_page.cmake: pass -DUI_DIR=... and -DOUTPUT=...")
endif()

get_filename_component(UI_DIR "${UI_DIR}" ABSOLUTE)
file(READ "${UI_DIR}/index.html" page)
include_page_parts(page "${UI_DIR}" "build_page.cmake: index.html")

function(inline_parts kind tag_regex name_regex open_tag close_tag)
  string(REGEX MATCHALL "${tag_regex}" tags "${page}")
  if(NOT tags)
    message(FATAL_ERROR "build_page.cmake: index.html names no ${kind} files")
  endif()
  set(joined "")
  set(named "")
  foreach(tag IN LISTS tags)
    string(REGEX REPLACE "${name_regex}" "\\1" rel "${tag}")
    set(path "${UI_DIR}/${rel}")
    if(NOT EXISTS "${path}")
      message(FATAL_ERROR "build_page.cmake: index.html names ${rel}, which does not exist")
    endif()
    file(READ "${path}" body)
    string(TOLOWER "${body}" lower)
    string(FIND "${lower}" "${close_tag}" bad)
    if(NOT bad EQUAL -1)
      message(FATAL_ERROR "build_page.cmake: ${rel} holds ${close_tag}, which would end the inline block")
    endif()
    string(APPEND joined "/* ${rel} */\n${body}\n")
    list(APPEND named "${path}")
  endforeach()

  file(GLOB present "${UI_DIR}/${kind}/*.${kind}")
  foreach(path IN LISTS present)
    list(FIND named "${path}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "build_page.cmake: ${path} is not named in index.html")
    endif()
  endforeach()

  if(kind STREQUAL "css")
    page_minify_css(build_page.cmake "${joined}" "${OUTPUT}.parts" joined)
  endif()
  # The first tag takes the whole block; the others go, with their line ends.
  replace_tags("${tags}" "${open_tag}\n${joined}${close_tag}>")
  set(page "${page}" PARENT_SCOPE)
endfunction()

inline_parts(css
  "<link rel=\"stylesheet\" href=\"css/[A-Za-z0-9_-]+\\.css\">"
  "^<link rel=\"stylesheet\" href=\"(css/[A-Za-z0-9_-]+\\.css)\">$"
  "<style>" "</style")
# The script: the entry module bundled with everything it imports.
page_entry("build_page.cmake: index.html")
set(work "${OUTPUT}.parts")
file(MAKE_DIRECTORY "${work}")
page_bundle(build_page.cmake "${UI_DIR}" "${entry}" "${work}/page.js" "${work}/meta.json")
page_read_imports("${work}/meta.json")
# The technician's page for any browser (web_*.js) is built by build_web_page.cmake.
file(GLOB present RELATIVE "${UI_DIR}" "${UI_DIR}/js/*.js")
list(FILTER present EXCLUDE REGEX "^js/web_")
foreach(rel IN LISTS present)
  if(NOT rel IN_LIST page_modules)
    message(FATAL_ERROR "build_page.cmake: ${rel} is not imported by ${entry}")
  endif()
endforeach()
page_refuse_cycles(build_page.cmake)

file(READ "${work}/page.js" script)
string(TOLOWER "${script}" lower)
string(FIND "${lower}" "</script" bad)
if(NOT bad EQUAL -1)
  message(FATAL_ERROR "build_page.cmake: the script holds </script, which would end the inline block")
endif()
string(FIND "${page}" "${entries}" at)
string(LENGTH "${entries}" len)
string(SUBSTRING "${page}" 0 ${at} before)
math(EXPR rest_at "${at} + ${len}")
string(SUBSTRING "${page}" ${rest_at} -1 after)
set(page "${before}<script>\n${script}</script>${after}")

# The host puts this run's token in place of the one placeholder, and the version in
# place of every version placeholder.
string(REGEX MATCHALL "__TOKEN__" tokens "${page}")
list(LENGTH tokens token_count)
if(NOT token_count EQUAL 1)
  message(FATAL_ERROR "build_page.cmake: the page must hold __TOKEN__ exactly once (found ${token_count})")
endif()
string(FIND "${page}" "__VERSION__" version_at)
if(version_at EQUAL -1)
  message(FATAL_ERROR "build_page.cmake: the page holds no __VERSION__")
endif()

file(WRITE "${OUTPUT}.tmp" "${page}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
