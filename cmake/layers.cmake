# The folders are layers: a file may include its own folder's headers and those of folders
# below it, never one above it, and never a sibling folder of the same layer (the mail, group
# and share logic stay independent of each other; the engine and the directory client meet
# only in the session). Included at configure time, and runnable on any tree as a script:
#   cmake -DORV_LAYER_ROOT=DIR -P cmake/layers.cmake

# Folder (longest prefix wins) and its layer, lowest first.
set(ORV_LAYERS
    core 0
    net 1
    engine 2
    directory 2
    mail 3
    groups 3
    share 3
    transfers 3
    server 3
    session 4
    session/pump 5
    qtkit 6
    # The HTML editor: over the shared Qt helpers, under the windows that host it.
    editor 7
    editor/logic 3
    shell 8
    mail/window 8
    mail/dialogs 8
    groups/ui 8
    share/ui 8
    transfers/ui 8
    apps 9
    tests 10
    bench 10
    fuzz 10)

# Sets `layer` and `folder` (the prefix that matched) for a path relative to the root; layer is
# empty for a path outside every known folder.
function(_orv_layer_of path layer folder)
  set(best "")
  set(best_layer "")
  list(LENGTH ORV_LAYERS n)
  math(EXPR last "${n} - 1")
  foreach(i RANGE 0 ${last} 2)
    math(EXPR j "${i} + 1")
    list(GET ORV_LAYERS ${i} prefix)
    list(GET ORV_LAYERS ${j} rank)
    string(LENGTH "${prefix}" plen)
    string(LENGTH "${best}" blen)
    if(path MATCHES "^${prefix}/" AND plen GREATER blen)
      set(best ${prefix})
      set(best_layer ${rank})
    endif()
  endforeach()
  set(${layer} "${best_layer}" PARENT_SCOPE)
  set(${folder} "${best}" PARENT_SCOPE)
endfunction()

# Fails configuration (or the script) naming every include that runs up or sideways.
function(orv_check_layers root)
  get_filename_component(root "${root}" ABSOLUTE)
  file(GLOB_RECURSE sources RELATIVE ${root} ${root}/*.h ${root}/*.cpp)
  set(errors "")
  foreach(src ${sources})
    if(src MATCHES "^(build|\\.)")
      continue()
    endif()
    _orv_layer_of(${src} own own_folder)
    if(own STREQUAL "")
      continue()
    endif()
    string(REGEX MATCH "^[^/]+" own_top ${src})
    file(STRINGS ${root}/${src} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]+/")
    foreach(line ${lines})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" inc "${line}")
      _orv_layer_of(${inc} theirs their_folder)
      if(theirs STREQUAL "")
        continue()
      endif()
      string(REGEX MATCH "^[^/]+" their_top ${inc})
      if(theirs GREATER own)
        list(APPEND errors "${src} (${own_folder}) includes ${inc} from the higher ${their_folder}")
      elseif(theirs EQUAL own AND NOT own_top STREQUAL their_top)
        list(APPEND errors "${src} (${own_folder}) includes ${inc} from its sibling ${their_folder}")
      endif()
    endforeach()
  endforeach()
  if(errors)
    list(JOIN errors "\n  " text)
    message(FATAL_ERROR "Includes against the layers:\n  ${text}")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND DEFINED ORV_LAYER_ROOT)
  orv_check_layers(${ORV_LAYER_ROOT})
endif()
