// Reading the data of one package entry, a chunk at a time, checked against
// the entry's recorded CRC-32 and size.
#pragma once

#include "deflate.h"

#include <zip.h>

#include <memory>
#include <vector>

struct zip_entry_closer {
    void operator()(zip_file_t* entry) const { zip_fclose(entry); }
};
using zip_entry_ptr = std::unique_ptr<zip_file_t, zip_entry_closer>;

// Buffers and decoder, allocated once per package and shared by all its
// entries in turn, so reading an entry allocates nothing.
struct entry_data_buffers {
    std::vector<unsigned char> raw;
    std::vector<char> data;
    deflate_decoder_ptr decoder;
};
entry_data_buffers new_entry_data_buffers();

// One entry being read.
struct entry_data {
    zip_entry_ptr file;
    entry_data_buffers* buffers;
    zip_uint64_t expected_size;
    std::uint32_t expected_crc;
    bool check_crc;           // the zip library does not check it itself
    bool inflating = false;   // the data is read raw and inflated here
    bool raw_ended = false;   // all compressed bytes have been read
    bool ended = false;       // the deflate stream is complete
    inflate_window window{};
    std::uint32_t crc = 0;
    zip_uint64_t total = 0;
};

// Opens entry index of archive for reading; false when it can't be read
// (an encrypted entry, a method the zip library refuses, no decoder).
bool open_entry_data(zip_t* archive, zip_uint64_t index, const zip_stat_t& stat, entry_data_buffers& buffers,
                     entry_data& data);

// Points chunk at the next piece of the entry's data, valid until the next
// call, and returns its size: 0 at the end, -1 when the data can't be read
// or does not match the recorded CRC-32 and size.
long long next_entry_chunk(entry_data& data, const char*& chunk);
