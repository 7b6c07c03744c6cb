#pragma once

#include <libheif/heif.h>

// libheif, with the codecs it loads, costs every start of the program a few
// milliseconds before main; it is opened on the first HEIF file instead.
namespace HeifLibrary {

#define QUILLMOSS_HEIF_FUNCTIONS(F)                                                                                   \
    F(check_filetype) F(init) F(context_alloc) F(context_free) F(context_read_from_memory_without_copy)              \
    F(context_get_primary_image_handle) F(context_set_max_decoding_threads) F(image_handle_release)                  \
    F(image_handle_get_width) F(image_handle_get_height) F(image_handle_has_alpha_channel)                           \
    F(image_handle_get_luma_bits_per_pixel) F(image_handle_get_raw_color_profile_size)                               \
    F(image_handle_get_raw_color_profile) F(image_handle_get_nclx_color_profile) F(nclx_color_profile_free)          \
    F(image_handle_get_list_of_metadata_block_IDs) F(image_handle_get_metadata_size) F(image_handle_get_metadata)    \
    F(decoding_options_alloc) F(decoding_options_free) F(decode_image) F(image_release) F(image_get_plane_readonly)   \
    F(image_get_width) F(image_get_height) F(get_decoder_descriptors) F(decoder_descriptor_get_name)                 \
    F(register_decoder_plugin)

// libheif's functions, named without their "heif_" prefix.
struct Functions
{
#define QUILLMOSS_HEIF_POINTER(name) decltype(&::heif_##name) name = nullptr;
    QUILLMOSS_HEIF_FUNCTIONS(QUILLMOSS_HEIF_POINTER)
#undef QUILLMOSS_HEIF_POINTER
};

// The library, opened on the first call. Throws AppError 481 naming the
// cause when it cannot be opened.
const Functions &Get();

} // namespace HeifLibrary
