// Reading the data of one package entry, a chunk at a time, checked against
// the entry's recorded CRC-32 and size; and where in the package each
// entry's data lies.
#pragma once

#include "deflate.h"
#include "platform.h"

#include <zip.h>

#include <memory>
#include <vector>

struct zip_entry_closer {
    void operator()(zip_file_t* entry) const { zip_fclose(entry); }
};
using zip_entry_ptr = std::unique_ptr<zip_file_t, zip_entry_closer>;

constexpr std::uint64_t unknown_offset = UINT64_MAX;

// Buffers and decoder, allocated once per worker and used by its entries
// in turn, so reading an entry allocates nothing.
struct entry_data_buffers {
    std::vector<unsigned char> raw;
    std::vector<char> data;
    deflate_decoder_ptr decoder;
};
entry_data_buffers new_entry_data_buffers();

// Sets offsets to the offsets of the local headers of the first entries,
// one per stat given, read from the central directory of the package of
// count entries. False when that directory can't be read or disagrees with
// the zip library's about any of them (raw name, compressed size, CRC-32):
// the entries are then read through the library. The buffers' raw buffer
// serves as the window on the package.
[[nodiscard]] bool read_local_header_offsets(const package_file& package, zip_t* archive, zip_uint64_t count,
                               const std::vector<zip_stat_t>& stats, entry_data_buffers& buffers,
                               std::vector<std::uint64_t>& offsets);

// Sets data_offset to where the data of the entry whose local header is at
// local_header starts; false when no local header is there.
[[nodiscard]] bool entry_data_offset(const package_file& package, std::uint64_t local_header, std::uint64_t& data_offset);

// True for an entry whose data only the zip library reads: a method other
// than stored and deflated.
bool read_through_library(const zip_stat_t& stat);

// Where an entry's data is read from.
struct entry_source {
    // Stored and deflated data is read raw, through a handle of the
    // worker's own, from the entry's local header on.
    const package_file* package;
    std::uint64_t local_header;  // unknown_offset: read through the library
    // Other methods go through the zip library, whose handle only a worker
    // that has it to itself gets (null elsewhere).
    zip_t* archive;
    zip_uint64_t index;
};

// One entry being read.
struct entry_data {
    // Raw reads come from here, and then the CRC-32 is checked here too:
    // the zip library checks it only for what it reads itself.
    const package_file* package = nullptr;
    std::uint64_t raw_offset = 0;            // the next raw byte
    std::uint64_t raw_left = 0;              // raw bytes not yet read
    std::uint64_t read_ahead_until = 0;      // the end of what was asked for ahead
    zip_entry_ptr file;                      // reads through the zip library
    entry_data_buffers* buffers = nullptr;
    zip_uint64_t expected_size = 0;
    std::uint32_t expected_crc = 0;
    bool inflating = false;   // the data is read raw and inflated here
    bool raw_ended = false;   // all compressed bytes have been read
    bool ended = false;       // the deflate stream is complete
    inflate_window window{};
    std::uint32_t crc = 0;
    zip_uint64_t total = 0;
};

// Opens the entry for reading; false when it can't be read (an encrypted
// entry, a damaged local header, a method the zip library refuses, no
// decoder, no handle for what needs the library).
[[nodiscard]] bool open_entry_data(const entry_source& source, const zip_stat_t& stat, entry_data_buffers& buffers,
                     entry_data& data);

// Points chunk at the next piece of the entry's data, valid until the next
// call, and returns its size: 0 at the end, -1 when the data can't be read
// or does not match the recorded CRC-32 and size.
long long next_entry_chunk(entry_data& data, const char*& chunk);
