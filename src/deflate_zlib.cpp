// Deflate decoding with zlib, for builds without the faster decoder.
#include "deflate.h"

#include <zlib.h>

#include <algorithm>
#include <limits>

struct deflate_decoder {
    z_stream stream{};
};

void deflate_decoder_deleter::operator()(deflate_decoder* decoder) const
{
    inflateEnd(&decoder->stream);
    delete decoder;
}

deflate_decoder_ptr new_deflate_decoder()
{
    auto decoder = std::make_unique<deflate_decoder>();
    // Negative window bits: a bare deflate stream, as zip entries hold.
    if (inflateInit2(&decoder->stream, -MAX_WBITS) != Z_OK)
        return nullptr;
    return deflate_decoder_ptr(decoder.release());
}

bool restart_deflate_decoder(deflate_decoder& decoder)
{
    return inflateReset(&decoder.stream) == Z_OK;
}

inflate_status inflate_some(deflate_decoder& decoder, inflate_window& window)
{
    constexpr std::size_t most = std::numeric_limits<uInt>::max();
    z_stream& z = decoder.stream;
    z.next_in = const_cast<Bytef*>(window.in);
    z.avail_in = static_cast<uInt>(std::min(window.in_size, most));
    z.next_out = reinterpret_cast<Bytef*>(window.out);
    z.avail_out = static_cast<uInt>(std::min(window.out_size, most));
    const uInt offered_in = z.avail_in;
    const uInt offered_out = z.avail_out;
    const int result = inflate(&z, Z_NO_FLUSH);
    window.in += offered_in - z.avail_in;
    window.in_size -= offered_in - z.avail_in;
    window.out += offered_out - z.avail_out;
    window.out_size -= offered_out - z.avail_out;
    if (result == Z_STREAM_END)
        return inflate_status::ended;
    // Z_BUF_ERROR only means nothing could be done with what was offered.
    if (result == Z_OK || result == Z_BUF_ERROR)
        return inflate_status::running;
    return inflate_status::damaged;
}

std::uint32_t update_crc32(std::uint32_t crc, const char* data, std::size_t size)
{
    return static_cast<std::uint32_t>(crc32_z(crc, reinterpret_cast<const Bytef*>(data), size));
}
