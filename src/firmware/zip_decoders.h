// Decoders of a zip entry's content, given to them in pieces as it is read,
// one table entry per compression method: stored (0), deflate (8), bzip2
// (12), LZMA (14) and zstd (93). An LZMA content starts with the zip LZMA
// header (see firmware_package.h); deflate content is raw, without the zlib
// wrapper.
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

// Starts decoding a content of `method`. `declared_size` is the content's
// size from the zip headers: the LZMA stream may carry no end, and no
// decoder keeps more history than that. Null when the method has no decoder
// or the decoder cannot be set up.
zip_decoder_ptr zip_decoder_open(std::uint16_t method, std::uint64_t declared_size);

// Gives the decoder the next `size` bytes of the content, once it has used
// up those given before; `last` when the content ends with them. The bytes
// must stay in place until they are used up. The first piece holds at least
// ZIP_DECODER_FIRST_PIECE bytes, or the whole content: the zip LZMA header
// is read from it.
constexpr std::size_t ZIP_DECODER_FIRST_PIECE = 9;
void zip_decoder_feed(zip_decoder* decoder, const unsigned char* input, std::size_t size, bool last);
// The bytes of the last piece not used yet.
std::size_t zip_decoder_input_left(const zip_decoder* decoder);

// Writes up to `room` decoded bytes at `out` and sets *written. Returns
// ZIP_DECODE_END once the content has ended, ZIP_DECODE_MORE, or
// ZIP_DECODE_FAILED for undecodable data, an invalid LZMA header and for a
// step that makes no progress (the last piece ends before the content
// does). A step is made with input left, or after the last piece.
int zip_decoder_step(zip_decoder* decoder, unsigned char* out, std::size_t room, std::size_t* written);
