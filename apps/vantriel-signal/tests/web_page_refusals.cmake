# The browser page's build refuses what would break the page unseen: run on copies of
# the page's sources, each changed in one way, it must stop with the reason named.
#   cmake -DUI_DIR=<apps/vantriel/ui> -DWORK=<folder> -DSCRIPT=<build_web_page.cmake>
#         [-DESBUILD=<esbuild>] -P web_page_refusals.cmake
cmake_minimum_required(VERSION 3.25)

# Copies the sources to WORK/NAME, adds LINE to the web entry and expects the build to
# fail with EXPECTED in its message.
function(expect_refusal name line expected)
  set(ui "${WORK}/${name}/ui")
  file(REMOVE_RECURSE "${WORK}/${name}")
  file(COPY "${UI_DIR}/" DESTINATION "${ui}")
  file(APPEND "${ui}/js/web_main.js" "\n${line}\n")
  foreach(module IN LISTS ARGN)
    # "-PATH" removes that file of the copy.
    if(module MATCHES "^-")
      string(SUBSTRING "${module}" 1 -1 gone)
      file(REMOVE "${ui}/${gone}")
      continue()
    endif()
    # One module per item, NAME=TEXT: no ";" in its text (CMake would split the list there).
    string(FIND "${module}" "=" eq)
    string(SUBSTRING "${module}" 0 ${eq} file_name)
    math(EXPR text_at "${eq} + 1")
    string(SUBSTRING "${module}" ${text_at} -1 content)
    file(WRITE "${ui}/js/${file_name}" "${content}\n")
  endforeach()
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -DUI_DIR=${ui} -DOUTPUT_DIR=${WORK}/${name}/out -DVERSION=1.0
            -DESBUILD=${ESBUILD} -P "${SCRIPT}"
    RESULT_VARIABLE result
    OUTPUT_VARIABLE out
    ERROR_VARIABLE err)
  # CMake folds long messages over lines.
  string(REGEX REPLACE "[ \n]+" " " said "${out}${err}")
  if(result EQUAL 0)
    message(FATAL_ERROR "${name}: the build went through")
  endif()
  string(FIND "${said}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${name}: expected \"${expected}\" in:\n${said}")
  endif()
  message(STATUS "${name}: refused as expected")
endfunction()

# The desktop host's API client, reached through a module in between.
expect_refusal(host_api "import \"./relay_probe.js\";"
  "must not bundle js/api.js, a module of the desktop host's side (a browser has no host): js/web_main.js -> js/relay_probe.js -> js/api.js"
  "relay_probe.js=import \"./api.js\"")
expect_refusal(host_session "import \"./host_session.js\";"
  "js/web_main.js -> js/host_session.js")
# A module of the browser page that its entry leaves out.
expect_refusal(unused_web_module "" "js/web_unused_probe.js is not imported by js/web_main.js"
  "web_unused_probe.js=export const x = 1")
# A cycle among the modules.
expect_refusal(cycle "import \"./cycle_a_probe.js\";"
  "the modules import each other in a cycle: js/cycle_a_probe.js -> js/cycle_b_probe.js -> js/cycle_a_probe.js"
  "cycle_a_probe.js=import \"./cycle_b_probe.js\"\nexport const a = 1"
  "cycle_b_probe.js=import \"./cycle_a_probe.js\"\nexport const b = 2")
# A part of the markup both pages share, gone.
expect_refusal(missing_part "" "web.html includes parts/session.html, which does not exist"
  "-parts/session.html")
file(REMOVE_RECURSE "${WORK}")
