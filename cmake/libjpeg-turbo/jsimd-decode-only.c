/*
 * SIMD dispatch of the JPEG codec for x86-64, decoder side only.
 *
 * The Windows build copies this file over simd/x86_64/jsimd.c of the codec's source before
 * configuring it. The program only decodes, but the stock dispatcher also calls the encoder's
 * SIMD routines, which pulls their assembler objects (over 130 KB, one Huffman table alone is
 * 98 KB) into the executable: the linker cannot drop sections of those objects once a member
 * of the archive is in. Here every encoder-side query answers "no SIMD", so the encoder (never
 * linked anyway) would fall back to its C code and its assembler objects stay out of the link.
 * The decoder side picks SSE2 or AVX2 exactly as the stock dispatcher does.
 */

#define JPEG_INTERNALS
#include "../../jinclude.h"
#include "../../jpeglib.h"
#include "../../jsimd.h"
#include "../../jdct.h"
#include "../../jsimddct.h"
#include "../jsimd.h"

/* Constant tables of the assembler routines must keep their alignment for aligned loads. */
#define IS_ALIGNED(ptr, order) (((size_t)(ptr) & ((1 << (order)) - 1)) == 0)
#define IS_ALIGNED_SSE(ptr) IS_ALIGNED(ptr, 4)
#define IS_ALIGNED_AVX(ptr) IS_ALIGNED(ptr, 5)

static THREAD_LOCAL unsigned int simd_support = ~0U;

/* Asks the CPU once per thread which instruction sets it has. */
static unsigned int cpu_support(void) {
  if (simd_support == ~0U) simd_support = jpeg_simd_cpu_support();
  return simd_support;
}

/* The assembler routines assume 8-bit samples and 32-bit image dimensions. */
static int sample_layout_fits(void) { return BITS_IN_JSAMPLE == 8 && sizeof(JDIMENSION) == 4; }

/* True when AVX2 or SSE2 is there and the matching constant table is aligned for it. */
static int avx2_or_sse2(const int *avx2_table, const int *sse2_table) {
  unsigned int support = cpu_support();
  if (!sample_layout_fits()) return 0;
  if ((support & JSIMD_AVX2) && IS_ALIGNED_AVX(avx2_table)) return 1;
  return (support & JSIMD_SSE2) && IS_ALIGNED_SSE(sse2_table);
}

static int uses_avx2(void) { return (simd_support & JSIMD_AVX2) != 0; }

/* The IDCT routines assume 8x8 blocks of 16-bit coefficients. */
static int idct_layout_fits(void) {
  return DCTSIZE == 8 && sizeof(JCOEF) == 2 && sample_layout_fits();
}

/* Index of the output pixel layout in the tables of colour converters below. */
static int pixel_layout(J_COLOR_SPACE space) {
  switch (space) {
    case JCS_EXT_RGB:
      return 1;
    case JCS_EXT_RGBX:
    case JCS_EXT_RGBA:
      return 2;
    case JCS_EXT_BGR:
      return 3;
    case JCS_EXT_BGRX:
    case JCS_EXT_BGRA:
      return 4;
    case JCS_EXT_XBGR:
    case JCS_EXT_ABGR:
      return 5;
    case JCS_EXT_XRGB:
    case JCS_EXT_ARGB:
      return 6;
    default:
      return 0;
  }
}

/* ---- Decoder: colour conversion. */

typedef void (*ycc_rgb_fn)(JDIMENSION, JSAMPIMAGE, JDIMENSION, JSAMPARRAY, int);

static const ycc_rgb_fn ycc_rgb_avx2[] = {
    jsimd_ycc_rgb_convert_avx2,    jsimd_ycc_extrgb_convert_avx2,  jsimd_ycc_extrgbx_convert_avx2,
    jsimd_ycc_extbgr_convert_avx2, jsimd_ycc_extbgrx_convert_avx2, jsimd_ycc_extxbgr_convert_avx2,
    jsimd_ycc_extxrgb_convert_avx2};
static const ycc_rgb_fn ycc_rgb_sse2[] = {
    jsimd_ycc_rgb_convert_sse2,    jsimd_ycc_extrgb_convert_sse2,  jsimd_ycc_extrgbx_convert_sse2,
    jsimd_ycc_extbgr_convert_sse2, jsimd_ycc_extbgrx_convert_sse2, jsimd_ycc_extxbgr_convert_sse2,
    jsimd_ycc_extxrgb_convert_sse2};

GLOBAL(int) jsimd_can_ycc_rgb(void) {
  if (RGB_PIXELSIZE != 3 && RGB_PIXELSIZE != 4) return 0;
  return avx2_or_sse2(jconst_ycc_rgb_convert_avx2, jconst_ycc_rgb_convert_sse2);
}

GLOBAL(int) jsimd_can_ycc_rgb565(void) { return 0; }

GLOBAL(void)
jsimd_ycc_rgb_convert(j_decompress_ptr cinfo, JSAMPIMAGE input_buf, JDIMENSION input_row,
                      JSAMPARRAY output_buf, int num_rows) {
  int layout = pixel_layout(cinfo->out_color_space);
  ycc_rgb_fn convert = uses_avx2() ? ycc_rgb_avx2[layout] : ycc_rgb_sse2[layout];
  convert(cinfo->output_width, input_buf, input_row, output_buf, num_rows);
}

GLOBAL(void)
jsimd_ycc_rgb565_convert(j_decompress_ptr cinfo, JSAMPIMAGE input_buf, JDIMENSION input_row,
                         JSAMPARRAY output_buf, int num_rows) {}

/* ---- Decoder: upsampling. */

static int avx2_or_sse2_present(void) {
  return sample_layout_fits() && (cpu_support() & (JSIMD_AVX2 | JSIMD_SSE2)) != 0;
}

GLOBAL(int) jsimd_can_h2v2_upsample(void) { return avx2_or_sse2_present(); }

GLOBAL(int) jsimd_can_h2v1_upsample(void) { return avx2_or_sse2_present(); }

GLOBAL(void)
jsimd_h2v2_upsample(j_decompress_ptr cinfo, jpeg_component_info *compptr, JSAMPARRAY input_data,
                    JSAMPARRAY *output_data_ptr) {
  if (uses_avx2())
    jsimd_h2v2_upsample_avx2(cinfo->max_v_samp_factor, cinfo->output_width, input_data,
                             output_data_ptr);
  else
    jsimd_h2v2_upsample_sse2(cinfo->max_v_samp_factor, cinfo->output_width, input_data,
                             output_data_ptr);
}

GLOBAL(void)
jsimd_h2v1_upsample(j_decompress_ptr cinfo, jpeg_component_info *compptr, JSAMPARRAY input_data,
                    JSAMPARRAY *output_data_ptr) {
  if (uses_avx2())
    jsimd_h2v1_upsample_avx2(cinfo->max_v_samp_factor, cinfo->output_width, input_data,
                             output_data_ptr);
  else
    jsimd_h2v1_upsample_sse2(cinfo->max_v_samp_factor, cinfo->output_width, input_data,
                             output_data_ptr);
}

GLOBAL(int) jsimd_can_h2v2_fancy_upsample(void) {
  return avx2_or_sse2(jconst_fancy_upsample_avx2, jconst_fancy_upsample_sse2);
}

GLOBAL(int) jsimd_can_h2v1_fancy_upsample(void) {
  return avx2_or_sse2(jconst_fancy_upsample_avx2, jconst_fancy_upsample_sse2);
}

GLOBAL(void)
jsimd_h2v2_fancy_upsample(j_decompress_ptr cinfo, jpeg_component_info *compptr,
                          JSAMPARRAY input_data, JSAMPARRAY *output_data_ptr) {
  if (uses_avx2())
    jsimd_h2v2_fancy_upsample_avx2(cinfo->max_v_samp_factor, compptr->downsampled_width, input_data,
                                   output_data_ptr);
  else
    jsimd_h2v2_fancy_upsample_sse2(cinfo->max_v_samp_factor, compptr->downsampled_width, input_data,
                                   output_data_ptr);
}

GLOBAL(void)
jsimd_h2v1_fancy_upsample(j_decompress_ptr cinfo, jpeg_component_info *compptr,
                          JSAMPARRAY input_data, JSAMPARRAY *output_data_ptr) {
  if (uses_avx2())
    jsimd_h2v1_fancy_upsample_avx2(cinfo->max_v_samp_factor, compptr->downsampled_width, input_data,
                                   output_data_ptr);
  else
    jsimd_h2v1_fancy_upsample_sse2(cinfo->max_v_samp_factor, compptr->downsampled_width, input_data,
                                   output_data_ptr);
}

/* ---- Decoder: merged upsampling and colour conversion. */

typedef void (*merged_fn)(JDIMENSION, JSAMPIMAGE, JDIMENSION, JSAMPARRAY);

static const merged_fn h2v2_merged_avx2[] = {
    jsimd_h2v2_merged_upsample_avx2,         jsimd_h2v2_extrgb_merged_upsample_avx2,
    jsimd_h2v2_extrgbx_merged_upsample_avx2, jsimd_h2v2_extbgr_merged_upsample_avx2,
    jsimd_h2v2_extbgrx_merged_upsample_avx2, jsimd_h2v2_extxbgr_merged_upsample_avx2,
    jsimd_h2v2_extxrgb_merged_upsample_avx2};
static const merged_fn h2v2_merged_sse2[] = {
    jsimd_h2v2_merged_upsample_sse2,         jsimd_h2v2_extrgb_merged_upsample_sse2,
    jsimd_h2v2_extrgbx_merged_upsample_sse2, jsimd_h2v2_extbgr_merged_upsample_sse2,
    jsimd_h2v2_extbgrx_merged_upsample_sse2, jsimd_h2v2_extxbgr_merged_upsample_sse2,
    jsimd_h2v2_extxrgb_merged_upsample_sse2};
static const merged_fn h2v1_merged_avx2[] = {
    jsimd_h2v1_merged_upsample_avx2,         jsimd_h2v1_extrgb_merged_upsample_avx2,
    jsimd_h2v1_extrgbx_merged_upsample_avx2, jsimd_h2v1_extbgr_merged_upsample_avx2,
    jsimd_h2v1_extbgrx_merged_upsample_avx2, jsimd_h2v1_extxbgr_merged_upsample_avx2,
    jsimd_h2v1_extxrgb_merged_upsample_avx2};
static const merged_fn h2v1_merged_sse2[] = {
    jsimd_h2v1_merged_upsample_sse2,         jsimd_h2v1_extrgb_merged_upsample_sse2,
    jsimd_h2v1_extrgbx_merged_upsample_sse2, jsimd_h2v1_extbgr_merged_upsample_sse2,
    jsimd_h2v1_extbgrx_merged_upsample_sse2, jsimd_h2v1_extxbgr_merged_upsample_sse2,
    jsimd_h2v1_extxrgb_merged_upsample_sse2};

GLOBAL(int) jsimd_can_h2v2_merged_upsample(void) {
  return avx2_or_sse2(jconst_merged_upsample_avx2, jconst_merged_upsample_sse2);
}

GLOBAL(int) jsimd_can_h2v1_merged_upsample(void) {
  return avx2_or_sse2(jconst_merged_upsample_avx2, jconst_merged_upsample_sse2);
}

GLOBAL(void)
jsimd_h2v2_merged_upsample(j_decompress_ptr cinfo, JSAMPIMAGE input_buf,
                           JDIMENSION in_row_group_ctr, JSAMPARRAY output_buf) {
  int layout = pixel_layout(cinfo->out_color_space);
  merged_fn upsample = uses_avx2() ? h2v2_merged_avx2[layout] : h2v2_merged_sse2[layout];
  upsample(cinfo->output_width, input_buf, in_row_group_ctr, output_buf);
}

GLOBAL(void)
jsimd_h2v1_merged_upsample(j_decompress_ptr cinfo, JSAMPIMAGE input_buf,
                           JDIMENSION in_row_group_ctr, JSAMPARRAY output_buf) {
  int layout = pixel_layout(cinfo->out_color_space);
  merged_fn upsample = uses_avx2() ? h2v1_merged_avx2[layout] : h2v1_merged_sse2[layout];
  upsample(cinfo->output_width, input_buf, in_row_group_ctr, output_buf);
}

/* ---- Decoder: inverse DCT. Only islow has an AVX2 variant. */

static int sse2_idct(const int *sse2_table) {
  return (cpu_support() & JSIMD_SSE2) && IS_ALIGNED_SSE(sse2_table);
}

/* The reduced-size IDCTs serve output scaling only; without it they would just pull in their
 * assembler object. */
#ifdef IDCT_SCALING_SUPPORTED
GLOBAL(int) jsimd_can_idct_2x2(void) {
  if (!idct_layout_fits() || sizeof(ISLOW_MULT_TYPE) != 2) return 0;
  return sse2_idct(jconst_idct_red_sse2);
}

GLOBAL(int) jsimd_can_idct_4x4(void) { return jsimd_can_idct_2x2(); }

GLOBAL(void)
jsimd_idct_2x2(j_decompress_ptr cinfo, jpeg_component_info *compptr, JCOEFPTR coef_block,
               JSAMPARRAY output_buf, JDIMENSION output_col) {
  jsimd_idct_2x2_sse2(compptr->dct_table, coef_block, output_buf, output_col);
}

GLOBAL(void)
jsimd_idct_4x4(j_decompress_ptr cinfo, jpeg_component_info *compptr, JCOEFPTR coef_block,
               JSAMPARRAY output_buf, JDIMENSION output_col) {
  jsimd_idct_4x4_sse2(compptr->dct_table, coef_block, output_buf, output_col);
}
#else
GLOBAL(int) jsimd_can_idct_2x2(void) { return 0; }

GLOBAL(int) jsimd_can_idct_4x4(void) { return 0; }

GLOBAL(void)
jsimd_idct_2x2(j_decompress_ptr cinfo, jpeg_component_info *compptr, JCOEFPTR coef_block,
               JSAMPARRAY output_buf, JDIMENSION output_col) {}

GLOBAL(void)
jsimd_idct_4x4(j_decompress_ptr cinfo, jpeg_component_info *compptr, JCOEFPTR coef_block,
               JSAMPARRAY output_buf, JDIMENSION output_col) {}
#endif

GLOBAL(int) jsimd_can_idct_islow(void) {
  unsigned int support = cpu_support();
  if (!idct_layout_fits() || sizeof(ISLOW_MULT_TYPE) != 2) return 0;
  if ((support & JSIMD_AVX2) && IS_ALIGNED_AVX(jconst_idct_islow_avx2)) return 1;
  return sse2_idct(jconst_idct_islow_sse2);
}

GLOBAL(int) jsimd_can_idct_ifast(void) {
  if (!idct_layout_fits() || sizeof(IFAST_MULT_TYPE) != 2 || IFAST_SCALE_BITS != 2) return 0;
  return sse2_idct(jconst_idct_ifast_sse2);
}

GLOBAL(int) jsimd_can_idct_float(void) {
  if (!idct_layout_fits() || sizeof(FAST_FLOAT) != 4 || sizeof(FLOAT_MULT_TYPE) != 4) return 0;
  return sse2_idct(jconst_idct_float_sse2);
}

GLOBAL(void)
jsimd_idct_islow(j_decompress_ptr cinfo, jpeg_component_info *compptr, JCOEFPTR coef_block,
                 JSAMPARRAY output_buf, JDIMENSION output_col) {
  if (uses_avx2())
    jsimd_idct_islow_avx2(compptr->dct_table, coef_block, output_buf, output_col);
  else
    jsimd_idct_islow_sse2(compptr->dct_table, coef_block, output_buf, output_col);
}

GLOBAL(void)
jsimd_idct_ifast(j_decompress_ptr cinfo, jpeg_component_info *compptr, JCOEFPTR coef_block,
                 JSAMPARRAY output_buf, JDIMENSION output_col) {
  jsimd_idct_ifast_sse2(compptr->dct_table, coef_block, output_buf, output_col);
}

GLOBAL(void)
jsimd_idct_float(j_decompress_ptr cinfo, jpeg_component_info *compptr, JCOEFPTR coef_block,
                 JSAMPARRAY output_buf, JDIMENSION output_col) {
  jsimd_idct_float_sse2(compptr->dct_table, coef_block, output_buf, output_col);
}

/* ---- Encoder: no SIMD. These bodies are never reached, because every query answers 0. */

GLOBAL(int) jsimd_can_rgb_ycc(void) { return 0; }

GLOBAL(int) jsimd_can_rgb_gray(void) { return 0; }

GLOBAL(void)
jsimd_rgb_ycc_convert(j_compress_ptr cinfo, JSAMPARRAY input_buf, JSAMPIMAGE output_buf,
                      JDIMENSION output_row, int num_rows) {}

GLOBAL(void)
jsimd_rgb_gray_convert(j_compress_ptr cinfo, JSAMPARRAY input_buf, JSAMPIMAGE output_buf,
                       JDIMENSION output_row, int num_rows) {}

GLOBAL(int) jsimd_can_h2v2_downsample(void) { return 0; }

GLOBAL(int) jsimd_can_h2v1_downsample(void) { return 0; }

GLOBAL(void)
jsimd_h2v2_downsample(j_compress_ptr cinfo, jpeg_component_info *compptr, JSAMPARRAY input_data,
                      JSAMPARRAY output_data) {}

GLOBAL(void)
jsimd_h2v1_downsample(j_compress_ptr cinfo, jpeg_component_info *compptr, JSAMPARRAY input_data,
                      JSAMPARRAY output_data) {}

GLOBAL(int) jsimd_can_convsamp(void) { return 0; }

GLOBAL(int) jsimd_can_convsamp_float(void) { return 0; }

GLOBAL(void)
jsimd_convsamp(JSAMPARRAY sample_data, JDIMENSION start_col, DCTELEM *workspace) {}

GLOBAL(void)
jsimd_convsamp_float(JSAMPARRAY sample_data, JDIMENSION start_col, FAST_FLOAT *workspace) {}

GLOBAL(int) jsimd_can_fdct_islow(void) { return 0; }

GLOBAL(int) jsimd_can_fdct_ifast(void) { return 0; }

GLOBAL(int) jsimd_can_fdct_float(void) { return 0; }

GLOBAL(void) jsimd_fdct_islow(DCTELEM *data) {}

GLOBAL(void) jsimd_fdct_ifast(DCTELEM *data) {}

GLOBAL(void) jsimd_fdct_float(FAST_FLOAT *data) {}

GLOBAL(int) jsimd_can_quantize(void) { return 0; }

GLOBAL(int) jsimd_can_quantize_float(void) { return 0; }

GLOBAL(void) jsimd_quantize(JCOEFPTR coef_block, DCTELEM *divisors, DCTELEM *workspace) {}

GLOBAL(void)
jsimd_quantize_float(JCOEFPTR coef_block, FAST_FLOAT *divisors, FAST_FLOAT *workspace) {}

GLOBAL(int) jsimd_can_huff_encode_one_block(void) { return 0; }

GLOBAL(JOCTET *)
jsimd_huff_encode_one_block(void *state, JOCTET *buffer, JCOEFPTR block, int last_dc_val,
                            c_derived_tbl *dctbl, c_derived_tbl *actbl) {
  return buffer;
}

GLOBAL(int) jsimd_can_encode_mcu_AC_first_prepare(void) { return 0; }

GLOBAL(void)
jsimd_encode_mcu_AC_first_prepare(const JCOEF *block, const int *jpeg_natural_order_start, int Sl,
                                  int Al, UJCOEF *values, size_t *zerobits) {}

GLOBAL(int) jsimd_can_encode_mcu_AC_refine_prepare(void) { return 0; }

GLOBAL(int)
jsimd_encode_mcu_AC_refine_prepare(const JCOEF *block, const int *jpeg_natural_order_start, int Sl,
                                   int Al, UJCOEF *absvalues, size_t *bits) {
  return 0;
}
