// Deflate decoding with the Intelligent Storage Acceleration library's
// inflater and CRC, which use the processor's vector and carry-less multiply
// instructions: on the benchmark packages it takes well under half the
// processor time zlib needs.
#include "deflate.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <limits>

struct deflate_decoder {
    inflate_state state;  // about 85 KiB of tables and history
};

void deflate_decoder_deleter::operator()(deflate_decoder* decoder) const
{
    delete decoder;
}

deflate_decoder_ptr new_deflate_decoder()
{
    deflate_decoder_ptr decoder(new deflate_decoder);
    isal_inflate_init(&decoder->state);
    return decoder;
}

bool restart_deflate_decoder(deflate_decoder& decoder)
{
    isal_inflate_reset(&decoder.state);
    return true;
}

inflate_status inflate_some(deflate_decoder& decoder, inflate_window& window)
{
    constexpr std::size_t most = std::numeric_limits<std::uint32_t>::max();
    inflate_state& state = decoder.state;
    // The library never writes through next_in; its field is just not const.
    state.next_in = const_cast<std::uint8_t*>(window.in);
    state.avail_in = static_cast<std::uint32_t>(std::min(window.in_size, most));
    state.next_out = reinterpret_cast<std::uint8_t*>(window.out);
    state.avail_out = static_cast<std::uint32_t>(std::min(window.out_size, most));
    const std::uint32_t offered_in = state.avail_in;
    const std::uint32_t offered_out = state.avail_out;
    const int result = isal_inflate(&state);
    window.in += offered_in - state.avail_in;
    window.in_size -= offered_in - state.avail_in;
    window.out += offered_out - state.avail_out;
    window.out_size -= offered_out - state.avail_out;
    if (result < 0)
        return inflate_status::damaged;
    // Only FINISH means all output has been handed over; INPUT_DONE may
    // still hold some back for lack of room.
    return state.block_state == ISAL_BLOCK_FINISH ? inflate_status::ended : inflate_status::running;
}

std::uint32_t update_crc32(std::uint32_t crc, const char* data, std::size_t size)
{
    return crc32_gzip_refl(crc, reinterpret_cast<const unsigned char*>(data), size);
}
