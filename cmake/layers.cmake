# The layering of the source folders. Each folder is declared with the folders
# its code may use (tarn_layer); its library sees only its own headers and those
# of the folders it uses, through a view of symbolic links in the build tree,
# so an include of any other folder's header fails to compile. The graph is
# also written to layers.txt, from which scripts/check_layers.py checks every
# include of every file (headers too) as a test.

set(TARN_LAYER_VIEWS ${PROJECT_BINARY_DIR}/layers)

# tarn_layer(FOLDER [USES FOLDER...]): declares a folder ("platform/sdl" for a
# subfolder with its own library) and the folders below it that it may use.
# What those use is visible too.
function(tarn_layer folder)
  cmake_parse_arguments(L "" "" "USES" ${ARGN})
  set_property(GLOBAL PROPERTY TARN_LAYER_USES_${folder} "${L_USES}")
  set_property(GLOBAL APPEND PROPERTY TARN_LAYERS ${folder})
endfunction()

# The library target of a folder: tarn_common, tarn_platform_sdl, ...
function(tarn_layer_target_name folder out)
  string(REPLACE "/" "_" name "tarn_${folder}")
  set(${out} ${name} PARENT_SCOPE)
endfunction()

# Makes the view of a folder: PROJECT_BINARY_DIR/layers/<name>/<folder>/<file>.h
# links to the folder's own headers (not to those of its subfolders, which
# have views of their own).
function(tarn_layer_view folder out)
  tarn_layer_target_name(${folder} name)
  set(root ${TARN_LAYER_VIEWS}/${name})
  file(GLOB headers CONFIGURE_DEPENDS RELATIVE ${PROJECT_SOURCE_DIR}/${folder} ${PROJECT_SOURCE_DIR}/${folder}/*.h)
  file(MAKE_DIRECTORY ${root}/${folder})
  foreach(h ${headers})
    if(NOT EXISTS ${root}/${folder}/${h})
      file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder}/${h} ${root}/${folder}/${h} SYMBOLIC)
    endif()
  endforeach()
  set(${out} ${root} PARENT_SCOPE)
endfunction()

# tarn_layer_use(TARGET FOLDER): TARGET is built from FOLDER's sources: it sees
# the folder's view and links the libraries of the folders FOLDER uses (those
# that exist in this configuration).
function(tarn_layer_use target folder)
  tarn_layer_view(${folder} view)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    target_include_directories(${target} PRIVATE ${view})
  else()
    target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${view}>)
  endif()
  get_property(uses GLOBAL PROPERTY TARN_LAYER_USES_${folder})
  foreach(u ${uses})
    tarn_layer_target_name(${u} lib)
    if(TARGET ${lib})
      target_link_libraries(${target} PUBLIC ${lib})
    endif()
  endforeach()
endfunction()

# tarn_layer_library(FOLDER SOURCE...): the folder's static library.
function(tarn_layer_library folder)
  tarn_layer_target_name(${folder} name)
  add_library(${name} STATIC ${ARGN})
  tarn_layer_use(${name} ${folder})
endfunction()

# Writes the graph for the include check: one line per folder, "folder: uses...".
function(tarn_layer_write_graph file)
  get_property(layers GLOBAL PROPERTY TARN_LAYERS)
  set(text "")
  foreach(l ${layers})
    get_property(uses GLOBAL PROPERTY TARN_LAYER_USES_${l})
    string(REPLACE ";" " " uses "${uses}")
    string(APPEND text "${l}: ${uses}\n")
  endforeach()
  file(WRITE ${file} "${text}")
endfunction()
