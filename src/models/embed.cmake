# Embeds the trained networks (src/models/<name>.eisnn) into the core
# library as byte arrays.  The source is generated at build time and
# regenerated whenever a blob changes; a blob that is absent at configure
# time is embedded as empty (its model then reports a truncated weight file).
set(_kelvora_blob_dir ${CMAKE_CURRENT_SOURCE_DIR}/src/models)
# The model names, in registry order, from the model table.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_kelvora_blob_dir}/models.def)
file(STRINGS ${_kelvora_blob_dir}/models.def _kelvora_model_lines REGEX "^KELVORA_MODEL\\(")
set(KELVORA_MODEL_NAMES)
foreach(_line IN LISTS _kelvora_model_lines)
  if(NOT _line MATCHES "^KELVORA_MODEL\\(([a-z0-9_]+), ")
    message(FATAL_ERROR "models.def: cannot read the model name in: ${_line}")
  endif()
  list(APPEND KELVORA_MODEL_NAMES ${CMAKE_MATCH_1})
endforeach()
set(_kelvora_blob_deps)
foreach(_name IN LISTS KELVORA_MODEL_NAMES)
  if(EXISTS ${_kelvora_blob_dir}/${_name}.eisnn)
    list(APPEND _kelvora_blob_deps ${_kelvora_blob_dir}/${_name}.eisnn)
  else()
    # Reconfigure once it appears.
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_kelvora_blob_dir})
  endif()
endforeach()
string(REPLACE ";" "," _kelvora_names_arg "${KELVORA_MODEL_NAMES}")
set(_kelvora_embed_out ${CMAKE_CURRENT_BINARY_DIR}/generated/embedded_weights.cpp)
add_custom_command(
  OUTPUT ${_kelvora_embed_out}
  COMMAND ${CMAKE_COMMAND} -DBLOB_DIR=${_kelvora_blob_dir} -DNAMES=${_kelvora_names_arg}
          -DOUTPUT=${_kelvora_embed_out} -P ${_kelvora_blob_dir}/embed_blobs.cmake
  DEPENDS ${_kelvora_blob_deps} ${_kelvora_blob_dir}/embed_blobs.cmake ${_kelvora_blob_dir}/models.def
  COMMENT "Embedding trained networks"
  VERBATIM)
target_sources(kelvora_core PRIVATE ${_kelvora_embed_out})
