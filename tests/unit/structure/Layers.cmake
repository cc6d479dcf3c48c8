# The layering rules, as functions so that the real tree and a planted fixture run the same code.
#
# A back end is a library under src/platform/<folder>/ (X11, PulseAudio, FFmpeg, D-Bus …) or a
# system library of X11, xcb, PulseAudio, FFmpeg or D-Bus (QtDBus). The rules:
#   include: no file outside src/platform includes an X11, xcb, PulseAudio, FFmpeg or QtDBus header, and
#            no file outside src/platform and src/app includes a back end's own header
#            ("platform/<folder>/…");
#   call:    no code outside src/platform and src/app names a back end's factory (they are
#            declared beside the interfaces, so the include rule alone would not see them);
#   link:    no library outside src/platform/<folder> and src/app links a back end, directly or
#            through a library of src/app.
# Each finding is one line: "include: <file> -> <header>", "call: <file> -> <name>" or
# "link: <target> -> <dep> [-> …]".

# The factories the back ends define for the composition root.
set(LC_BACKEND_ENTRY_POINTS createMovieWriter systemAudio)

# System headers and libraries of the back ends.
set(_lc_backend_header_regex "^((X11|xcb|pulse|libav[a-z]*|libsw[a-z]*|libpostproc|QtDBus)/|QDBus)")
set(_lc_backend_library_regex "(^|[^a-z])(xcb|x11|pulse|ffmpeg|libav|avformat|avcodec|avutil|avfilter|avdevice|swscale|swresample|dbus)")

# Where a source-relative path (a file, or a folder with a trailing slash) sits: "backend"
# (src/platform/<folder>/…), "interface" (src/platform itself), "app" (src/app/…) or "system"
# (the rest of src/).
function(_lc_layer_of rel out)
  if(rel MATCHES "^src/platform/[^/]+/")
    set(${out} backend PARENT_SCOPE)
  elseif(rel MATCHES "^src/platform(/|$)")
    set(${out} interface PARENT_SCOPE)
  elseif(rel MATCHES "^src/app(/|$)")
    set(${out} app PARENT_SCOPE)
  else()
    set(${out} system PARENT_SCOPE)
  endif()
endfunction()

# Findings of the include and call rules for every source file under <root>/src.
function(lc_source_findings root out)
  set(_found "")
  file(GLOB_RECURSE _files RELATIVE ${root} ${root}/src/*.h ${root}/src/*.hpp ${root}/src/*.cpp ${root}/src/*.cc)
  list(SORT _files)
  foreach(_rel ${_files})
    _lc_layer_of(${_rel} _layer)
    if(_layer STREQUAL "backend" OR _layer STREQUAL "interface")
      continue()
    endif()
    file(STRINGS ${root}/${_rel} _includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
    foreach(_line ${_includes})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]*)[>\"].*$" "\\1" _header "${_line}")
      if(_header MATCHES "${_lc_backend_header_regex}")
        list(APPEND _found "include: ${_rel} -> ${_header}")
      elseif(_header MATCHES "^platform/[^/]+/" AND NOT _layer STREQUAL "app")
        list(APPEND _found "include: ${_rel} -> ${_header}")
      endif()
    endforeach()
    if(_layer STREQUAL "app")
      continue()
    endif()
    file(READ ${root}/${_rel} _code)
    # Comments may name the factories; code may not.
    string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" "" _code "${_code}")
    string(REGEX REPLACE "//[^\n]*" "" _code "${_code}")
    foreach(_name ${LC_BACKEND_ENTRY_POINTS})
      if(_code MATCHES "(^|[^A-Za-z0-9_])${_name}([^A-Za-z0-9_]|$)")
        list(APPEND _found "call: ${_rel} -> ${_name}")
      endif()
    endforeach()
  endforeach()
  set(${out} "${_found}" PARENT_SCOPE)
endfunction()

# Reads a link graph written by lc_write_link_graph: one line per target,
# "<target>|<folder relative to the source root, with a trailing slash>|<dep>|<dep>…".
function(_lc_read_graph graph)
  file(STRINGS ${graph} _lines)
  set(_targets "")
  foreach(_line ${_lines})
    string(REPLACE "|" ";" _parts "${_line}")
    list(POP_FRONT _parts _t _dir)
    set(_deps ${_parts})
    list(APPEND _targets ${_t})
    set(_lc_dir_${_t} ${_dir} PARENT_SCOPE)
    set(_lc_deps_${_t} "${_deps}" PARENT_SCOPE)
  endforeach()
  set(_lc_targets "${_targets}" PARENT_SCOPE)
endfunction()

# "backend", "app", "system" or "external" for one dependency name.
macro(_lc_dep_kind dep out)
  if("${dep}" IN_LIST _lc_targets)
    _lc_layer_of("${_lc_dir_${dep}}" ${out})
    if(${out} STREQUAL "interface")
      set(${out} system)
    endif()
  else()
    string(TOLOWER "${dep}" _lower)
    if(_lower MATCHES "${_lc_backend_library_regex}")
      set(${out} backend)
    else()
      set(${out} external)
    endif()
  endif()
endmacro()

# The first path from `target` (a library of src/app) to a back end, or empty.
function(_lc_path_to_backend target seen out)
  foreach(_d ${_lc_deps_${target}})
    if("${_d}" IN_LIST seen)
      continue()
    endif()
    _lc_dep_kind("${_d}" _kind)
    if(_kind STREQUAL "backend")
      set(${out} "${_d}" PARENT_SCOPE)
      return()
    elseif(NOT _kind STREQUAL "external")
      _lc_path_to_backend("${_d}" "${seen};${target}" _rest)
      if(_rest)
        set(${out} "${_d} -> ${_rest}" PARENT_SCOPE)
        return()
      endif()
    endif()
  endforeach()
  set(${out} "" PARENT_SCOPE)
endfunction()

# Findings of the link rule. A library that reaches a back end only through another checked
# library is not listed: that library is.
function(lc_link_findings graph out)
  _lc_read_graph(${graph})
  set(_found "")
  foreach(_t ${_lc_targets})
    _lc_layer_of("${_lc_dir_${_t}}" _layer)
    if(_layer STREQUAL "backend" OR _layer STREQUAL "app")
      continue()
    endif()
    foreach(_d ${_lc_deps_${_t}})
      _lc_dep_kind("${_d}" _kind)
      if(_kind STREQUAL "backend")
        list(APPEND _found "link: ${_t} -> ${_d}")
      elseif(_kind STREQUAL "app")
        _lc_path_to_backend("${_d}" "${_t}" _path)
        if(_path)
          list(APPEND _found "link: ${_t} -> ${_d} -> ${_path}")
        endif()
      endif()
    endforeach()
  endforeach()
  set(${out} "${_found}" PARENT_SCOPE)
endfunction()

# Every finding not in `known`, then every entry of `known` that no longer occurs.
function(lc_layer_report root graph known out_new out_stale)
  lc_source_findings(${root} _src)
  lc_link_findings(${graph} _links)
  set(_all ${_src} ${_links})
  set(_new "")
  foreach(_f ${_all})
    if(NOT "${_f}" IN_LIST known)
      list(APPEND _new "${_f}")
    endif()
  endforeach()
  set(_stale "")
  foreach(_k ${known})
    if(NOT "${_k}" IN_LIST _all)
      list(APPEND _stale "${_k}")
    endif()
  endforeach()
  set(${out_new} "${_new}" PARENT_SCOPE)
  set(${out_stale} "${_stale}" PARENT_SCOPE)
endfunction()

# Writes the link graph of every target defined under <source dir>/src, in the format above.
# Run it once every target exists (cmake_language(DEFER) at the end of the top directory).
function(lc_write_link_graph file)
  _lc_targets_under(${PROJECT_SOURCE_DIR}/src _all)
  set(_text "")
  foreach(_t ${_all})
    get_target_property(_type ${_t} TYPE)
    if(_type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(_deps ${_t} INTERFACE_LINK_LIBRARIES)
    else()
      get_target_property(_deps ${_t} LINK_LIBRARIES)
    endif()
    if(NOT _deps)
      set(_deps "")
    endif()
    list(TRANSFORM _deps REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1")
    get_target_property(_dir ${_t} SOURCE_DIR)
    file(RELATIVE_PATH _rel ${PROJECT_SOURCE_DIR} ${_dir})
    list(JOIN _deps "|" _depText)
    string(APPEND _text "${_t}|${_rel}/|${_depText}\n")
  endforeach()
  file(WRITE ${file} "${_text}")
endfunction()

function(_lc_targets_under dir out)
  get_property(_t DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(_subs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(_s ${_subs})
    _lc_targets_under(${_s} _more)
    list(APPEND _t ${_more})
  endforeach()
  set(${out} "${_t}" PARENT_SCOPE)
endfunction()
