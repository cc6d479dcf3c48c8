cmake_minimum_required(VERSION 3.25)
# cmake -P LayersSelfTest.cmake: the layer rules find exactly the faults planted in fixture/ (and
# none of the allowed uses beside them), and known uses are let through or reported stale.
include(${CMAKE_CURRENT_LIST_DIR}/Layers.cmake)

set(fixture ${CMAKE_CURRENT_LIST_DIR}/fixture)
set(known "link: lc_export -> lc_media" "call: src/capture/Gone.cpp -> systemAudio")
lc_layer_report(${fixture} ${fixture}/graph.txt "${known}" found stale)

set(expected
    "include: src/app/main.cpp -> pulse/pulseaudio.h"
    "include: src/export/Reader.h -> platform/media/reader/Reader.h"
    "include: src/model/Model.cpp -> xcb/xcb.h"
    "include: src/model/Model.cpp -> libavformat/avformat.h"
    "include: src/model/Model.cpp -> QDBusMessage"
    "call: src/capture/Mic.cpp -> createMovieWriter"
    "call: src/ui/View.cpp -> systemAudio"
    "link: lc_capture -> lc_pulse"
    "link: lc_session -> pulse-simple"
    "link: lc_windows -> Qt6::DBus"
    "link: lc_ui -> lc_update -> lc_tray -> lc_x11")
set(expectedStale "call: src/capture/Gone.cpp -> systemAudio")

list(SORT found)
list(SORT expected)
if(NOT found STREQUAL expected)
  list(JOIN found "\n  " f)
  list(JOIN expected "\n  " e)
  message(FATAL_ERROR "found:\n  ${f}\nexpected:\n  ${e}")
endif()
if(NOT stale STREQUAL expectedStale)
  message(FATAL_ERROR "stale: ${stale}; expected: ${expectedStale}")
endif()
message("Layer rules: every planted fault found, nothing else")
