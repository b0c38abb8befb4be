// The deflate decoder. Entry data is inflated by one of two decoders, chosen
// by the build: the fast one where the machine's libraries offer it, zlib
// elsewhere. Both are streaming: nothing is ever held whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

struct deflate_decoder;
struct deflate_decoder_deleter {
    void operator()(deflate_decoder* decoder) const;
};
using deflate_decoder_ptr = std::unique_ptr<deflate_decoder, deflate_decoder_deleter>;

// A decoder of raw deflate data (no zlib or gzip wrapper), or null when it
// can't be set up. One serves all entries of a package in turn.
[[nodiscard]] deflate_decoder_ptr new_deflate_decoder();

// Makes the decoder ready for the start of a new stream.
[[nodiscard]] bool restart_deflate_decoder(deflate_decoder& decoder);

struct inflate_window {
    const unsigned char* in;
    std::size_t in_size;
    char* out;
    std::size_t out_size;
};

enum class inflate_status { running, ended, damaged };

// Decodes from window.in into window.out and advances both past what it
// used. "running" may come back without any progress when the input is
// used up; the caller decides whether more is coming.
inflate_status inflate_some(deflate_decoder& decoder, inflate_window& window);

// The CRC-32 of zip entries (and gzip), continued from crc over data;
// start with 0.
std::uint32_t update_crc32(std::uint32_t crc, const char* data, std::size_t size);
