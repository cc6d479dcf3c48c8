cmake_minimum_required(VERSION 3.25)
# cmake -DLC_SOURCE_ROOT=<source dir> -DLC_LINK_GRAPH=<graph file> -P CheckLayers.cmake
# Fails, one line per finding, when the layers are broken (see Layers.cmake).
include(${CMAKE_CURRENT_LIST_DIR}/Layers.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/KnownBackEndUses.cmake)

# An empty graph or tree would pass for clean: make sure both are the real ones.
file(STRINGS ${LC_LINK_GRAPH} graph)
if(NOT EXISTS ${LC_SOURCE_ROOT}/src/app/main.cpp OR NOT graph MATCHES "(^|;)loomcast\\|src/app/\\|")
  message(FATAL_ERROR "Layer check: no source tree at ${LC_SOURCE_ROOT} or no application in ${LC_LINK_GRAPH}")
endif()

lc_layer_report(${LC_SOURCE_ROOT} ${LC_LINK_GRAPH} "${LC_KNOWN_BACKEND_USES}" found stale)
foreach(f ${found})
  message("${f}")
endforeach()
foreach(s ${stale})
  message("no longer found, delete it from tests/unit/structure/KnownBackEndUses.cmake: ${s}")
endforeach()
list(LENGTH found n)
list(LENGTH stale m)
if(n GREATER 0 OR m GREATER 0)
  message(FATAL_ERROR "Layer check: ${n} back-end use(s) outside src/platform and src/app, ${m} stale known use(s)")
endif()
message("Layer check: no back end reached outside src/platform and src/app")
