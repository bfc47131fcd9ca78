# Joins the page sources into the single page the host serves, with the style sheets
# and scripts inline:
#   cmake -DUI_DIR=<apps/vantriel/ui> -DOUTPUT=<page.html> -P build_page.cmake
# index.html names its parts in order with <link rel="stylesheet" href="css/NAME.css">
# and <script src="js/NAME.js"></script> (so it also opens as it is in a browser); the
# first link becomes one <style> with every sheet, the first script one <script> with
# every script. Every file in css/ and js/ must be named, so none is left out unseen.
cmake_minimum_required(VERSION 3.25)

if(NOT UI_DIR OR NOT OUTPUT)
  message(FATAL_ERROR "build_page.cmake: pass -DUI_DIR=... and -DOUTPUT=...")
endif()

get_filename_component(UI_DIR "${UI_DIR}" ABSOLUTE)
file(READ "${UI_DIR}/index.html" page)

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

  # The first tag takes the whole block; the others go, with their line ends.
  list(GET tags 0 first)
  string(FIND "${page}" "${first}" at)
  string(LENGTH "${first}" len)
  string(SUBSTRING "${page}" 0 ${at} before)
  math(EXPR rest_at "${at} + ${len}")
  string(SUBSTRING "${page}" ${rest_at} -1 after)
  foreach(tag IN LISTS tags)
    string(REPLACE "${tag}\n" "" after "${after}")
    string(REPLACE "${tag}" "" after "${after}")
  endforeach()
  set(page "${before}${open_tag}\n${joined}${close_tag}>${after}" PARENT_SCOPE)
endfunction()

inline_parts(css
  "<link rel=\"stylesheet\" href=\"css/[A-Za-z0-9_-]+\\.css\">"
  "^<link rel=\"stylesheet\" href=\"(css/[A-Za-z0-9_-]+\\.css)\">$"
  "<style>" "</style")
inline_parts(js
  "<script src=\"js/[A-Za-z0-9_-]+\\.js\"></script>"
  "^<script src=\"(js/[A-Za-z0-9_-]+\\.js)\"></script>$"
  "<script>" "</script")

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
