# Reads module.build, the one description of the module's build, for the CMake
# builds (the project's and the fuzz build). Set TILEVISTA_ROOT first.
set(TILEVISTA_MODULE_BUILD "${TILEVISTA_ROOT}/module.build")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${TILEVISTA_MODULE_BUILD}")

# The words of setting `name`, as a list, into `var`.
function(tilevista_module_setting name var)
  file(STRINGS "${TILEVISTA_MODULE_BUILD}" line REGEX "^${name} *=")
  if(NOT line)
    message(FATAL_ERROR "${TILEVISTA_MODULE_BUILD} has no setting '${name}'")
  endif()
  string(REGEX REPLACE "^${name} *= *" "" value "${line}")
  separate_arguments(value UNIX_COMMAND "${value}")
  set(${var} ${value} PARENT_SCOPE)
endfunction()

# The files of setting `name` (gateway, core), absolute, each pattern's in
# sorted order, into `var`; the build is configured again when one is added.
function(tilevista_module_files name var)
  tilevista_module_setting(${name} patterns)
  set(files)
  foreach(pattern ${patterns})
    file(GLOB found CONFIGURE_DEPENDS "${TILEVISTA_ROOT}/${pattern}")
    if(NOT found)
      message(FATAL_ERROR "module.build: '${pattern}' names no file")
    endif()
    list(SORT found)
    list(APPEND files ${found})
  endforeach()
  set(${var} ${files} PARENT_SCOPE)
endfunction()

tilevista_module_files(gateway TILEVISTA_GATEWAY_SOURCES)
tilevista_module_files(call_layer TILEVISTA_CALL_SOURCES)
tilevista_module_files(core TILEVISTA_CORE_SOURCES)
tilevista_module_files(substitute TILEVISTA_SUBSTITUTE_SOURCES)
tilevista_module_files(core_includes TILEVISTA_CORE_INCLUDES)
tilevista_module_files(public_include TILEVISTA_PUBLIC_INCLUDE)
tilevista_module_files(call_include TILEVISTA_CALL_INCLUDE)
tilevista_module_files(gateway_include TILEVISTA_GATEWAY_INCLUDE)
tilevista_module_files(substitute_include TILEVISTA_SUBSTITUTE_INCLUDE)
tilevista_module_files(mex_exports TILEVISTA_MEX_EXPORTS)
tilevista_module_files(dictionary TILEVISTA_DICTIONARY_SOURCES)
tilevista_module_files(codec TILEVISTA_CODEC_SOURCES)
tilevista_module_files(codec_include TILEVISTA_CODEC_INCLUDE)
tilevista_module_setting(cxxflags TILEVISTA_CXXFLAGS)

# The generated kernels of the block scoring: where the header and the archive
# are found, TILEVISTA_KERNELS_FOUND, the definition that turns them on, and
# the link options that hide the archive's symbols in a shared module.
option(TILEVISTA_KERNELS "Generate the block scoring's kernels where libxsmm is found" ON)
tilevista_module_setting(kernels_header TILEVISTA_KERNELS_HEADER)
tilevista_module_setting(kernels_archive TILEVISTA_KERNELS_ARCHIVE)
tilevista_module_setting(kernels_define TILEVISTA_KERNELS_DEFINE)
set(TILEVISTA_KERNELS_FOUND OFF)
if(TILEVISTA_KERNELS)
  find_path(TILEVISTA_KERNELS_INCLUDE_DIR ${TILEVISTA_KERNELS_HEADER})
  find_library(TILEVISTA_KERNELS_LIBRARY NAMES ${TILEVISTA_KERNELS_ARCHIVE})
  if(TILEVISTA_KERNELS_INCLUDE_DIR AND TILEVISTA_KERNELS_LIBRARY)
    set(TILEVISTA_KERNELS_FOUND ON)
    message(STATUS "Block scoring: generated kernels (${TILEVISTA_KERNELS_LIBRARY})")
  else()
    message(STATUS "Block scoring: BLAS (${TILEVISTA_KERNELS_HEADER} or "
                   "${TILEVISTA_KERNELS_ARCHIVE} not found)")
  endif()
endif()
set(TILEVISTA_KERNELS_LINK_OPTIONS "-Wl,--exclude-libs,${TILEVISTA_KERNELS_ARCHIVE}")

# Builds `target` (a library of module sources) with the generated kernels
# when they were found.
function(tilevista_use_kernels target)
  if(TILEVISTA_KERNELS_FOUND)
    target_compile_definitions(${target} PUBLIC ${TILEVISTA_KERNELS_DEFINE})
    target_include_directories(${target} PRIVATE ${TILEVISTA_KERNELS_INCLUDE_DIR})
    target_link_libraries(${target} PUBLIC ${TILEVISTA_KERNELS_LIBRARY})
  endif()
endfunction()
