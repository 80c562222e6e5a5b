#include "firmware/zip_decoders.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include <bzlib.h>
#include <lzma.h>
#include <zip.h>
#include <zlib.h>
#include <zstd.h>

namespace {

constexpr std::uint16_t METHOD_ZSTD = 93;

// A decoder never needs more history than the bytes it can be asked for:
// a firmware image is read up to its limit (16 MiB) and one more read.
constexpr std::uint64_t DECODE_WINDOW_MAX = 32u * 1024 * 1024;
constexpr int ZSTD_WINDOW_LOG_MAX = 25;  // 32 MiB

struct inflate_end_deleter {
    void operator()(z_stream* stream) const noexcept { inflateEnd(stream); }
};
struct bzip2_end_deleter {
    void operator()(bz_stream* stream) const noexcept { BZ2_bzDecompressEnd(stream); }
};
struct lzma_end_deleter {
    void operator()(lzma_stream* stream) const noexcept { lzma_end(stream); }
};
struct zstd_context_deleter {
    void operator()(ZSTD_DCtx* context) const noexcept { ZSTD_freeDCtx(context); }
};

using step_fn = int (*)(zip_decoder* decoder, unsigned char* out, std::size_t room, std::size_t* written);

}  // namespace

// The `*_open` owners point at the stream beside them, so a decoder stays
// where it was made.
struct zip_decoder {
    step_fn step = nullptr;
    const unsigned char* input = nullptr;  // the piece given last
    std::size_t size = 0;
    std::size_t used = 0;
    bool last = false;  // the piece ends the content
    std::uint64_t declared_size = 0;

    z_stream zlib{};
    std::unique_ptr<z_stream, inflate_end_deleter> zlib_open;
    bz_stream bzip2{};
    std::unique_ptr<bz_stream, bzip2_end_deleter> bzip2_open;
    lzma_stream lzma = LZMA_STREAM_INIT;
    std::unique_ptr<lzma_stream, lzma_end_deleter> lzma_open;
    std::unique_ptr<ZSTD_DCtx, zstd_context_deleter> zstd;

    const unsigned char* next_input() const { return input + used; }
    std::size_t input_left() const { return size - used; }
};

void zip_decoder_deleter::operator()(zip_decoder* decoder) const noexcept {
    std::default_delete<zip_decoder>()(decoder);
}

namespace {

// Stored content needs nothing set up, and LZMA reads its header from the
// first piece.
bool start_nothing(zip_decoder*) { return true; }

int step_stored(zip_decoder* decoder, unsigned char* out, std::size_t room, std::size_t* written) {
    std::size_t take = std::min(room, decoder->input_left());
    if (take > 0) std::memcpy(out, decoder->next_input(), take);
    decoder->used += take;
    *written = take;
    return decoder->input_left() == 0 && decoder->last ? ZIP_DECODE_END : ZIP_DECODE_MORE;
}

bool start_inflate(zip_decoder* decoder) {
    if (inflateInit2(&decoder->zlib, -MAX_WBITS) != Z_OK) return false;
    decoder->zlib_open.reset(&decoder->zlib);
    return true;
}

int step_inflate(zip_decoder* decoder, unsigned char* out, std::size_t room, std::size_t* written) {
    z_stream& stream = decoder->zlib;
    uInt offered = static_cast<uInt>(std::min<std::size_t>(decoder->input_left(), UINT_MAX));
    stream.next_in = const_cast<unsigned char*>(decoder->next_input());
    stream.avail_in = offered;
    stream.next_out = out;
    stream.avail_out = static_cast<uInt>(room);
    int status = inflate(&stream, Z_NO_FLUSH);
    decoder->used += offered - stream.avail_in;
    *written = room - stream.avail_out;
    if (status == Z_STREAM_END) return ZIP_DECODE_END;
    return status == Z_OK ? ZIP_DECODE_MORE : ZIP_DECODE_FAILED;
}

bool start_bzip2(zip_decoder* decoder) {
    if (BZ2_bzDecompressInit(&decoder->bzip2, 0, 0) != BZ_OK) return false;
    decoder->bzip2_open.reset(&decoder->bzip2);
    return true;
}

int step_bzip2(zip_decoder* decoder, unsigned char* out, std::size_t room, std::size_t* written) {
    bz_stream& stream = decoder->bzip2;
    unsigned offered = static_cast<unsigned>(std::min<std::size_t>(decoder->input_left(), UINT_MAX));
    stream.next_in = reinterpret_cast<char*>(const_cast<unsigned char*>(decoder->next_input()));
    stream.avail_in = offered;
    stream.next_out = reinterpret_cast<char*>(out);
    stream.avail_out = static_cast<unsigned>(room);
    int status = BZ2_bzDecompress(&stream);
    decoder->used += offered - stream.avail_in;
    *written = room - stream.avail_out;
    if (status == BZ_STREAM_END) return ZIP_DECODE_END;
    return status == BZ_OK ? ZIP_DECODE_MORE : ZIP_DECODE_FAILED;
}

// Offsets in the zip LZMA header (see firmware_package.h).
constexpr std::size_t LZMA_PROPERTIES_SIZE_AT = 2;
constexpr std::size_t LZMA_PROPERTIES_AT = 4;
constexpr std::size_t LZMA_DICTIONARY_AT = 5;
constexpr std::size_t LZMA_HEADER_SIZE = 9;
constexpr unsigned LZMA_PROPERTIES_SIZE = 5;
constexpr unsigned LZMA_PROPERTIES_LIMIT = 9 * 5 * 5;

// Reads the header from the first piece and starts the LZMA1 stream after it.
bool start_lzma_stream(zip_decoder* decoder) {
    if (decoder->size < LZMA_HEADER_SIZE) return false;
    const unsigned char* header = decoder->input;
    unsigned properties_size = header[LZMA_PROPERTIES_SIZE_AT] | header[LZMA_PROPERTIES_SIZE_AT + 1] << 8;
    unsigned properties = header[LZMA_PROPERTIES_AT];
    if (properties_size != LZMA_PROPERTIES_SIZE || properties >= LZMA_PROPERTIES_LIMIT) return false;
    std::uint32_t dictionary = static_cast<std::uint32_t>(header[LZMA_DICTIONARY_AT]) |
                               static_cast<std::uint32_t>(header[LZMA_DICTIONARY_AT + 1]) << 8 |
                               static_cast<std::uint32_t>(header[LZMA_DICTIONARY_AT + 2]) << 16 |
                               static_cast<std::uint32_t>(header[LZMA_DICTIONARY_AT + 3]) << 24;

    lzma_options_lzma options{};
    options.lc = properties % 9;
    options.lp = properties / 9 % 5;
    options.pb = properties / 45;
    // Matches never reach further back than the bytes decoded, so a
    // dictionary beyond the content size (or beyond what is ever read) is
    // not allocated.
    std::uint64_t needed = std::min(decoder->declared_size, DECODE_WINDOW_MAX);
    options.dict_size = static_cast<std::uint32_t>(
        std::max<std::uint64_t>(LZMA_DICT_SIZE_MIN, std::min<std::uint64_t>(dictionary, needed)));
    // The size comes from the zip headers; the end marker may or may not
    // follow the content.
    options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
    options.ext_size_low = static_cast<std::uint32_t>(decoder->declared_size);
    options.ext_size_high = static_cast<std::uint32_t>(decoder->declared_size >> 32);
    const lzma_filter filters[] = {
        {LZMA_FILTER_LZMA1EXT, &options},
        {LZMA_VLI_UNKNOWN, nullptr},
    };
    if (lzma_raw_decoder(&decoder->lzma, filters) != LZMA_OK) return false;
    decoder->lzma_open.reset(&decoder->lzma);
    decoder->used = LZMA_HEADER_SIZE;
    return true;
}

int step_lzma(zip_decoder* decoder, unsigned char* out, std::size_t room, std::size_t* written) {
    if (!decoder->lzma_open && !start_lzma_stream(decoder)) return ZIP_DECODE_FAILED;
    lzma_stream& stream = decoder->lzma;
    stream.next_in = decoder->next_input();
    stream.avail_in = decoder->input_left();
    stream.next_out = out;
    stream.avail_out = room;
    // A stream without end marker ends where its input does, which the
    // decoder learns from LZMA_FINISH: given with the last piece only.
    lzma_ret status = lzma_code(&stream, decoder->last ? LZMA_FINISH : LZMA_RUN);
    decoder->used = decoder->size - stream.avail_in;
    *written = room - stream.avail_out;
    if (status == LZMA_STREAM_END) return ZIP_DECODE_END;
    return status == LZMA_OK ? ZIP_DECODE_MORE : ZIP_DECODE_FAILED;
}

bool start_zstd(zip_decoder* decoder) {
    decoder->zstd.reset(ZSTD_createDCtx());
    return decoder->zstd &&
           !ZSTD_isError(ZSTD_DCtx_setParameter(decoder->zstd.get(), ZSTD_d_windowLogMax, ZSTD_WINDOW_LOG_MAX));
}

int step_zstd(zip_decoder* decoder, unsigned char* out, std::size_t room, std::size_t* written) {
    ZSTD_inBuffer in = {decoder->next_input(), decoder->input_left(), 0};
    ZSTD_outBuffer output = {out, room, 0};
    std::size_t status = ZSTD_decompressStream(decoder->zstd.get(), &output, &in);
    decoder->used += in.pos;
    *written = output.pos;
    if (ZSTD_isError(status)) return ZIP_DECODE_FAILED;
    return status == 0 ? ZIP_DECODE_END : ZIP_DECODE_MORE;  // 0: the frame is complete
}

struct decoder_entry {
    std::uint16_t method;
    bool (*start)(zip_decoder* decoder);
    step_fn step;
};

constexpr decoder_entry DECODERS[] = {
    {ZIP_CM_STORE, start_nothing, step_stored}, {ZIP_CM_DEFLATE, start_inflate, step_inflate},
    {ZIP_CM_BZIP2, start_bzip2, step_bzip2},    {ZIP_CM_LZMA, start_nothing, step_lzma},
    {METHOD_ZSTD, start_zstd, step_zstd},
};

const decoder_entry* find_decoder(std::uint16_t method) {
    for (const decoder_entry& entry : DECODERS) {
        if (entry.method == method) return &entry;
    }
    return nullptr;
}

}  // namespace

bool zip_decoder_supported(std::uint16_t method) { return find_decoder(method) != nullptr; }

zip_decoder_ptr zip_decoder_open(std::uint16_t method, std::uint64_t declared_size) {
    const decoder_entry* entry = find_decoder(method);
    if (entry == nullptr) return nullptr;
    zip_decoder_ptr decoder;
    try {
        decoder.reset(std::make_unique<zip_decoder>().release());
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    decoder->step = entry->step;
    decoder->declared_size = declared_size;
    if (!entry->start(decoder.get())) return nullptr;
    return decoder;
}

void zip_decoder_feed(zip_decoder* decoder, const unsigned char* input, std::size_t size, bool last) {
    decoder->input = input;
    decoder->size = size;
    decoder->used = 0;
    decoder->last = last;
}

std::size_t zip_decoder_input_left(const zip_decoder* decoder) { return decoder->input_left(); }

int zip_decoder_step(zip_decoder* decoder, unsigned char* out, std::size_t room, std::size_t* written) {
    const std::size_t used_before = decoder->used;
    *written = 0;
    int step = decoder->step(decoder, out, room, written);
    if (step == ZIP_DECODE_MORE && *written == 0 && decoder->used == used_before) return ZIP_DECODE_FAILED;
    return step;
}
