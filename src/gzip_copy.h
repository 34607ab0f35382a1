// SPDX-License-Identifier: MIT
// The gzip copy of a text that changes mostly at its end, as the history file does: kept
// compressed in segments, so that a change costs a compression from its segment on.
//
// The text is cut into segments of a fixed number of bytes, each compressed to a piece of
// raw deflate data ended by a flush to a byte boundary. The pieces in front of a change are
// reused as they are; the text from it on is compressed in one stream that starts with
// the 32 KiB of text in front of it as its dictionary, so that back-references cross
// segment borders as they do in one gzip run over the whole text. The last segment, until
// it is full, is kept in smaller pieces, and a change within it compresses only its pieces
// from the change on, with a small window (see gzip_copy.cpp): a table that grows by a
// row pays for a few hundred bytes, and once in a segment for the whole segment.
#ifndef MENUHOLD_GZIP_COPY_H
#define MENUHOLD_GZIP_COPY_H

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include <zlib.h>

class GzipCopy {
public:
    // Brings the copy up to text + tail, whose first `unchanged` bytes are those of the last
    // update (0 the first time). False when out of memory; the copy is then incomplete until
    // an update succeeds.
    bool update(std::string_view text, std::string_view tail, size_t unchanged);

    // Writes the gzip member of the last update to name in dir_fd, its header carrying
    // header_name and mtime; returns 0 or an errno.
    int write(int dir_fd, const char* name, const char* header_name, time_t mtime) const;

private:
    struct Piece {
        size_t text_end;    // where its text ends
        size_t data_end;    // where its deflate data ends in data_
        uLong crc_through;  // CRC-32 of the text from its start to this piece's end
    };
    std::vector<Piece> pieces_;  // the full segments, then the last segment's full pieces
    std::string data_;           // their deflate data, back to back
    std::string last_;  // the deflate data of the rest of the text and the tail, which ends the stream
    uLong crc_ = 0;
    size_t length_ = 0;  // of the whole text
};

#endif
