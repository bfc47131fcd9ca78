# What the builds of the desktop page (build_page.cmake) and of the browser page
# (build_web_page.cmake) share: bundling an entry module with esbuild, and reading and
# checking the import graph esbuild reports. Included in script mode; every message
# starts with WHO, the including script's name.

# Runs esbuild (the one -DESBUILD names, else the one on the PATH) with ARGN in DIR; a
# failure stops the build with esbuild's words, naming WHO and WHAT it was doing.
function(page_esbuild who what dir)
  if(NOT ESBUILD)
    find_program(ESBUILD esbuild)
  endif()
  if(NOT ESBUILD)
    message(FATAL_ERROR "${who}: esbuild not found (Debian package esbuild; tools/setup.sh installs it)")
  endif()
  execute_process(
    COMMAND "${ESBUILD}" ${ARGN} --charset=utf8 --legal-comments=none --log-level=warning --minify
    WORKING_DIRECTORY "${dir}"
    RESULT_VARIABLE esbuild_result
    ERROR_VARIABLE esbuild_errors)
  if(NOT esbuild_result EQUAL 0)
    message(FATAL_ERROR "${who}: esbuild failed${what}:\n${esbuild_errors}")
  endif()
endfunction()

# Bundles UI_DIR/ENTRY and everything it imports into OUTFILE (one classic script, so it
# runs inline or from a file alike), minified, and writes esbuild's description of the
# inputs to METAFILE. Minified, the desktop page is about 40 % smaller, which it parses
# and draws sooner; messages and DOM names keep their text.
function(page_bundle who ui_dir entry outfile metafile)
  page_esbuild(${who} "" "${ui_dir}" "${entry}" --bundle --format=iife --target=es2022
               "--metafile=${metafile}" "--outfile=${outfile}")
endfunction()

# Sets OUT_VAR to the style sheets CSS minified by esbuild (comments and white space
# gone, colours and values shortened); WORK is a folder for the file esbuild reads.
function(page_minify_css who css work out_var)
  file(MAKE_DIRECTORY "${work}")
  file(WRITE "${work}/sheets.css" "${css}")
  page_esbuild(${who} " on the style sheets" "${work}" "${work}/sheets.css"
               "--outfile=${work}/sheets.min.css")
  file(READ "${work}/sheets.min.css" minified)
  set(${out_var} "${minified}" PARENT_SCOPE)
endfunction()

# Reads METAFILE: sets page_modules (every bundled module, as "js/NAME.js") and, for each
# module M, imports_of_M (the modules M imports), in the caller's scope.
macro(page_read_imports metafile)
  file(READ "${metafile}" _page_meta)
  string(JSON _page_inputs GET "${_page_meta}" inputs)
  string(JSON _page_count LENGTH "${_page_inputs}")
  math(EXPR _page_last "${_page_count} - 1")
  set(page_modules "")
  foreach(_page_i RANGE ${_page_last})
    string(JSON _page_name MEMBER "${_page_inputs}" ${_page_i})
    list(APPEND page_modules "${_page_name}")
    string(JSON _page_imports GET "${_page_inputs}" "${_page_name}" imports)
    string(JSON _page_import_count LENGTH "${_page_imports}")
    set("imports_of_${_page_name}" "")
    if(_page_import_count GREATER 0)
      math(EXPR _page_import_last "${_page_import_count} - 1")
      foreach(_page_j RANGE ${_page_import_last})
        string(JSON _page_dep GET "${_page_imports}" ${_page_j} path)
        list(APPEND "imports_of_${_page_name}" "${_page_dep}")
      endforeach()
    endif()
  endforeach()
endmacro()

# The modules form layers: an import cycle stops the build, named. Modules whose imports
# are all placed are placed, until none is left; what remains holds a cycle, found by
# following imports among the remaining modules until one comes round again. Reads what
# page_read_imports set.
function(page_refuse_cycles who)
  set(remaining "${page_modules}")
  set(placed_any TRUE)
  while(remaining AND placed_any)
    set(placed_any FALSE)
    set(still "")
    foreach(name IN LISTS remaining)
      set(ready TRUE)
      foreach(dep IN LISTS "imports_of_${name}")
        if(dep IN_LIST remaining)
          set(ready FALSE)
          break()
        endif()
      endforeach()
      if(ready)
        set(placed_any TRUE)
      else()
        list(APPEND still "${name}")
      endif()
    endforeach()
    set(remaining "${still}")
  endwhile()
  if(remaining)
    list(GET remaining 0 at)
    set(path "")
    while(NOT at IN_LIST path)
      list(APPEND path "${at}")
      foreach(dep IN LISTS "imports_of_${at}")
        if(dep IN_LIST remaining)
          set(at "${dep}")
          break()
        endif()
      endforeach()
    endwhile()
    list(FIND path "${at}" cycle_start)
    list(SUBLIST path ${cycle_start} -1 cycle)
    list(APPEND cycle "${at}")
    list(JOIN cycle " -> " cycle_text)
    message(FATAL_ERROR "${who}: the modules import each other in a cycle: ${cycle_text}")
  endif()
endfunction()

# Sets OUT_VAR to the shortest import chain from module FROM to module TO, as
# "FROM -> ... -> TO", or to "" when FROM does not reach TO. Reads what
# page_read_imports set.
function(page_import_chain from to out_var)
  # Breadth first; each module reached remembers the module it was reached from.
  set(queue "${from}")
  set(seen "${from}")
  set(found FALSE)
  while(queue AND NOT found)
    list(POP_FRONT queue at)
    foreach(dep IN LISTS "imports_of_${at}")
      if(NOT dep IN_LIST seen)
        list(APPEND seen "${dep}")
        list(APPEND queue "${dep}")
        set("reached_from_${dep}" "${at}")
        if(dep STREQUAL to)
          set(found TRUE)
          break()
        endif()
      endif()
    endforeach()
  endwhile()
  if(NOT found)
    set(${out_var} "" PARENT_SCOPE)
    return()
  endif()
  set(chain "${to}")
  set(at "${to}")
  while(NOT at STREQUAL from)
    set(at "${reached_from_${at}}")
    list(PREPEND chain "${at}")
  endwhile()
  list(JOIN chain " -> " text)
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

# Puts in `page_var` (a page template's text) each part it names on a line of its own as
# <!--#include parts/NAME.html --> (apps/vantriel/ui/parts): the markup both pages share,
# written once. A part names no other part. `page_name` is for the messages.
function(include_page_parts page_var ui_dir page_name)
  set(text "${${page_var}}")
  string(REGEX MATCHALL "<!--#include parts/[A-Za-z0-9_-]+\\.html -->" directives "${text}")
  foreach(directive IN LISTS directives)
    string(REGEX REPLACE "^<!--#include (parts/[A-Za-z0-9_-]+\\.html) -->$" "\\1" rel "${directive}")
    if(NOT EXISTS "${ui_dir}/${rel}")
      message(FATAL_ERROR "${page_name} includes ${rel}, which does not exist")
    endif()
    file(READ "${ui_dir}/${rel}" part)
    if(part MATCHES "<!--#include")
      message(FATAL_ERROR "${rel} includes another part; parts stand alone")
    endif()
    # The directive keeps its own line end.
    string(REGEX REPLACE "\n$" "" part "${part}")
    string(REPLACE "${directive}" "${part}" text "${text}")
  endforeach()
  if(text MATCHES "<!--#include")
    message(FATAL_ERROR "${page_name} has an include that is not alone on its line or not of parts/NAME.html")
  endif()
  set(${page_var} "${text}" PARENT_SCOPE)
endfunction()

# Replaces the tags in TAGS (a list of exact strings of `page`, the caller's variable) by
# REPLACEMENT at the place of the first one; the others go, with their line ends.
function(replace_tags tags replacement)
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
  set(page "${before}${replacement}${after}" PARENT_SCOPE)
endfunction()

# The one entry module the page template (the caller's `page`) names with
# <script type="module" src="js/NAME.js"></script>: its tag in `entries` and its path
# under UI_DIR in `entry`, both set for the caller. `what` names the template in messages.
function(page_entry what)
  string(REGEX MATCHALL "<script type=\"module\" src=\"js/[A-Za-z0-9_-]+\\.js\"></script>" entries "${page}")
  list(LENGTH entries entry_count)
  if(NOT entry_count EQUAL 1)
    message(FATAL_ERROR "${what} must name exactly one entry module (found ${entry_count})")
  endif()
  string(REGEX REPLACE "^<script type=\"module\" src=\"(js/[A-Za-z0-9_-]+\\.js)\"></script>$" "\\1" entry "${entries}")
  if(NOT EXISTS "${UI_DIR}/${entry}")
    message(FATAL_ERROR "${what} names ${entry}, which does not exist")
  endif()
  set(entries "${entries}" PARENT_SCOPE)
  set(entry "${entry}" PARENT_SCOPE)
endfunction()
