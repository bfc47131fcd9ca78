# Builds the single page the host serves: cmake -DUI_DIR=... -DOUTPUT=... -P build_page.cmake
cmake_minimum_required(VERSION 3.25)
file(READ "${UI_DIR}/index.html" page)
file(WRITE "${OUTPUT}.tmp" "${page}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
