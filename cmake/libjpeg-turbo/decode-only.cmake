# Trims the extracted JPEG codec source to what the program's decoder reaches, before the codec
# is configured: the decoder options the program never turns on (colour quantization, output
# scaling) are compiled out.
# Usage: cmake -DSOURCE_DIR=<extracted codec source> -P decode-only.cmake

if(NOT IS_DIRECTORY "${SOURCE_DIR}")
  message(FATAL_ERROR "decode-only.cmake: SOURCE_DIR '${SOURCE_DIR}' is not a directory")
endif()

# The program decodes its own baseline pictures with 1x1 sampling to full-size 24-bit RGB with
# the default DCT method (no colour quantization, no scale factor, no progressive or multi-scan
# files, no merged upsampling), so these decoder features are dead weight. Each line must be
# found (or be trimmed already, when this step runs again on the same source), so that a
# different codec release fails here instead of silently keeping them.
set(config ${SOURCE_DIR}/jmorecfg.h)
file(READ ${config} text)
foreach(feature IN ITEMS QUANT_1PASS_SUPPORTED QUANT_2PASS_SUPPORTED IDCT_SCALING_SUPPORTED
                        D_MULTISCAN_FILES_SUPPORTED D_PROGRESSIVE_SUPPORTED
                        BLOCK_SMOOTHING_SUPPORTED UPSAMPLE_MERGING_SUPPORTED
                        DCT_IFAST_SUPPORTED DCT_FLOAT_SUPPORTED)
  set(trimmed "\n#undef  ${feature}  /* not used by the program's decoder */")
  string(REGEX MATCH "\n#define ${feature}[ \t][^\n]*" line "${text}")
  if(line)
    string(REPLACE "${line}" "${trimmed}" text "${text}")
  else()
    string(FIND "${text}" "${trimmed}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "decode-only.cmake: '#define ${feature}' not found in ${config}")
    endif()
  endif()
endforeach()
file(WRITE ${config} "${text}")
