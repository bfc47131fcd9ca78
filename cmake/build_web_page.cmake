# Builds the technician's page for any browser, which the signalling server serves, into
# a folder of files:
#   cmake -DUI_DIR=<apps/vantriel/ui> -DOUTPUT_DIR=<folder> -DVERSION=<x.y.z>
#         [-DESBUILD=<esbuild>] -P build_web_page.cmake
# web.html names its style sheets in order with <link rel="stylesheet" href="css/NAME.css">
# and its one entry module with <script type="module" src="js/NAME.js"></script>, like
# the desktop page's index.html (build_page.cmake). The folder gets index.html, with the
# sheets as one /app.css and the entry as one deferred /app.js; app.js (esbuild's bundle
# of the entry, minified); app.css (the sheets joined and minified); and the fonts, the emblems and favicon.ico.
# The server's policy allows no inline script or style, so the page holds none. The
# bundle must not hold the desktop host's modules (the browser has no host to talk to),
# every web_*.js module must be imported, and the imports must form no cycle.
cmake_minimum_required(VERSION 3.25)
include("${CMAKE_CURRENT_LIST_DIR}/page_modules.cmake")
set(who build_web_page.cmake)

if(NOT UI_DIR OR NOT OUTPUT_DIR OR NOT VERSION)
  message(FATAL_ERROR "${who}: pass -DUI_DIR=..., -DOUTPUT_DIR=... and -DVERSION=...")
endif()
get_filename_component(UI_DIR "${UI_DIR}" ABSOLUTE)
get_filename_component(OUTPUT_DIR "${OUTPUT_DIR}" ABSOLUTE)
file(READ "${UI_DIR}/web.html" page)
include_page_parts(page "${UI_DIR}" "build_web_page.cmake: web.html")

# Modules of the desktop host's side: its local API client and its half of a session.
set(host_only_modules js/api.js js/host_session.js)

# Writes CONTENT to OUTPUT_DIR/NAME, touching the file only when it changes.
function(write_output name content)
  file(WRITE "${OUTPUT_DIR}/${name}.tmp" "${content}")
  file(COPY_FILE "${OUTPUT_DIR}/${name}.tmp" "${OUTPUT_DIR}/${name}" ONLY_IF_DIFFERENT)
  file(REMOVE "${OUTPUT_DIR}/${name}.tmp")
endfunction()

file(MAKE_DIRECTORY "${OUTPUT_DIR}/font" "${OUTPUT_DIR}/img")

# The style sheets, joined in the order named.
string(REGEX MATCHALL "<link rel=\"stylesheet\" href=\"css/[A-Za-z0-9_-]+\\.css\">" sheets "${page}")
if(NOT sheets)
  message(FATAL_ERROR "${who}: web.html names no style sheets")
endif()
set(css "")
foreach(tag IN LISTS sheets)
  string(REGEX REPLACE "^<link rel=\"stylesheet\" href=\"(css/[A-Za-z0-9_-]+\\.css)\">$" "\\1" rel "${tag}")
  if(NOT EXISTS "${UI_DIR}/${rel}")
    message(FATAL_ERROR "${who}: web.html names ${rel}, which does not exist")
  endif()
  file(READ "${UI_DIR}/${rel}" body)
  string(APPEND css "/* ${rel} */\n${body}\n")
endforeach()
replace_tags("${sheets}" "<link rel=\"stylesheet\" href=\"/app.css\">")

# The script: the entry module bundled with everything it imports.
page_entry("${who}: web.html")
set(work "${OUTPUT_DIR}.parts")
file(MAKE_DIRECTORY "${work}")
page_bundle(${who} "${UI_DIR}" "${entry}" "${work}/app.js" "${work}/meta.json")
page_read_imports("${work}/meta.json")
foreach(module IN LISTS host_only_modules)
  page_import_chain("${entry}" "${module}" chain)
  if(chain)
    message(FATAL_ERROR "${who}: the browser page must not bundle ${module}, a module of the "
                        "desktop host's side (a browser has no host): ${chain}")
  endif()
endforeach()
file(GLOB web_modules RELATIVE "${UI_DIR}" "${UI_DIR}/js/web_*.js")
foreach(rel IN LISTS web_modules)
  if(NOT rel IN_LIST page_modules)
    message(FATAL_ERROR "${who}: ${rel} is not imported by ${entry}")
  endif()
endforeach()
page_refuse_cycles(${who})
replace_tags("${entries}" "<script src=\"/app.js\" defer></script>")

string(REPLACE "__VERSION__" "${VERSION}" page "${page}")
file(READ "${work}/app.js" script)
string(REPLACE "__VERSION__" "${VERSION}" script "${script}")

# Nothing inline: the server's policy would block it, and the page would break unseen.
string(TOLOWER "${page}" lower)
if(lower MATCHES "<style")
  message(FATAL_ERROR "${who}: web.html holds a <style> block; put the rules in a sheet under css/")
endif()
if(lower MATCHES "[ \t\n]style=")
  message(FATAL_ERROR "${who}: web.html holds a style attribute; put the rule in a sheet under css/")
endif()
if(lower MATCHES "[ \t\n]on[a-z]+=")
  message(FATAL_ERROR "${who}: web.html holds an inline event handler; attach it in a module")
endif()
if(lower MATCHES "javascript:")
  message(FATAL_ERROR "${who}: web.html holds a javascript: address")
endif()
string(REGEX MATCHALL "<script[^>]*>" script_tags "${lower}")
foreach(tag IN LISTS script_tags)
  if(NOT tag MATCHES " src=\"")
    message(FATAL_ERROR "${who}: web.html holds an inline script (${tag}); put it in a module")
  endif()
endforeach()

write_output(index.html "${page}")
write_output(app.js "${script}")
page_minify_css(${who} "${css}" "${work}" css)
write_output(app.css "${css}")

# The files the page loads by address.
file(GLOB fonts "${UI_DIR}/font/*.woff2" "${UI_DIR}/font/*.ttf")
set(copies "")
foreach(font IN LISTS fonts)
  get_filename_component(name "${font}" NAME)
  list(APPEND copies "${font}=font/${name}")
endforeach()
list(APPEND copies "${UI_DIR}/img/emblema.png=img/emblema.png"
                   "${UI_DIR}/img/emblema-512.png=img/emblema-512.png"
                   "${UI_DIR}/img/vantriel.ico=favicon.ico")
foreach(copy IN LISTS copies)
  string(REGEX REPLACE "=[^=]*$" "" from "${copy}")
  string(REGEX REPLACE "^.*=" "" to "${copy}")
  if(NOT EXISTS "${from}")
    message(FATAL_ERROR "${who}: ${from} does not exist")
  endif()
  file(COPY_FILE "${from}" "${OUTPUT_DIR}/${to}" ONLY_IF_DIFFERENT)
endforeach()
