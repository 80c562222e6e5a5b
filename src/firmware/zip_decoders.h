// Decoders of a zip entry's content held whole in memory, one table entry
// per compression method: stored (0), deflate (8), bzip2 (12), LZMA (14)
// and zstd (93). An LZMA content starts with the zip LZMA header (see
// firmware_package.h); deflate content is raw, without the zlib wrapper.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

struct zip_decoder;  // one content being decoded, with its library stream
struct zip_decoder_deleter {
    void operator()(zip_decoder* decoder) const noexcept;
};
using zip_decoder_ptr = std::unique_ptr<zip_decoder, zip_decoder_deleter>;

enum : int { ZIP_DECODE_MORE = 0, ZIP_DECODE_END = 1, ZIP_DECODE_FAILED = -1 };

// Whether the compression method has a decoder.
bool zip_decoder_supported(std::uint16_t method);

// Starts decoding the `size` bytes at `input`, which must stay in place as
// long as the decoder. `declared_size` is the content's size from the zip
// headers: the LZMA stream may carry no end, and no decoder keeps more
// history than that. Null when the method has no decoder, the content's own
// header is invalid or the decoder cannot be set up.
zip_decoder_ptr zip_decoder_open(std::uint16_t method, const unsigned char* input, std::size_t size,
                                 std::uint64_t declared_size);

// Writes up to `room` decoded bytes at `out` and sets *written. Returns
// ZIP_DECODE_END once the content has ended, ZIP_DECODE_MORE, or
// ZIP_DECODE_FAILED for undecodable data and for a step that makes no
// progress (the input ends before the content does).
int zip_decoder_step(zip_decoder* decoder, unsigned char* out, std::size_t room, std::size_t* written);
