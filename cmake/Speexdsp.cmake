# speexdsp as a static library, built from the source that scripts/setup unpacks from Debian's
# source package (on a Mac: the README says how to get the same source). Both flavours use its
# resampler, linked into the DLL and into the bundle's binary: no runtime dependency.

set(VIDRANE_SPEEXDSP_SOURCE ${PROJECT_SOURCE_DIR}/build/speexdsp/src CACHE PATH "speexdsp source tree")
if(NOT EXISTS ${VIDRANE_SPEEXDSP_SOURCE}/libspeexdsp/resample.c)
  message(FATAL_ERROR "No speexdsp source in ${VIDRANE_SPEEXDSP_SOURCE}: run scripts/setup first")
endif()

# What the package's configure script would find for x86-64 with the floating-point build:
# SSE and SSE2 are part of the architecture, variable-length arrays are C99. (The bundle is built
# for x86-64 only.)
set(_speexdsp_gen ${CMAKE_BINARY_DIR}/speexdsp)
file(WRITE ${_speexdsp_gen}/config.h.tmp
  "#define FLOATING_POINT 1\n#define USE_SSE 1\n#define USE_SSE2 1\n#define USE_SMALLFT 1\n"
  "#define VAR_ARRAYS 1\n#define EXPORT\n")
file(WRITE ${_speexdsp_gen}/speex/speexdsp_config_types.h.tmp
  "#ifndef __SPEEX_TYPES_H__\n#define __SPEEX_TYPES_H__\n#include <stdint.h>\n"
  "typedef int16_t spx_int16_t;\ntypedef uint16_t spx_uint16_t;\n"
  "typedef int32_t spx_int32_t;\ntypedef uint32_t spx_uint32_t;\n#endif\n")
# Rewritten only when changed, so that a reconfigure does not rebuild the library.
configure_file(${_speexdsp_gen}/config.h.tmp ${_speexdsp_gen}/config.h COPYONLY)
configure_file(${_speexdsp_gen}/speex/speexdsp_config_types.h.tmp
  ${_speexdsp_gen}/speex/speexdsp_config_types.h COPYONLY)

set(_s ${VIDRANE_SPEEXDSP_SOURCE}/libspeexdsp)
# Only what is used: the resampler.
add_library(speexdsp STATIC ${_s}/resample.c)
target_compile_definitions(speexdsp PRIVATE HAVE_CONFIG_H)
target_include_directories(speexdsp PRIVATE ${_speexdsp_gen} ${_s})
target_include_directories(speexdsp SYSTEM PUBLIC ${VIDRANE_SPEEXDSP_SOURCE}/include ${_speexdsp_gen}/speex)
set_target_properties(speexdsp PROPERTIES C_STANDARD 99 C_VISIBILITY_PRESET hidden)
if(NOT MSVC)
  # Third-party code: its own warnings are not ours to fix.
  target_compile_options(speexdsp PRIVATE -w -O2)
endif()
