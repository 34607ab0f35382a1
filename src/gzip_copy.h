// SPDX-License-Identifier: MIT
// The gzip copy of a text that changes mostly at its end, as the history file does: kept
// compressed in segments, so that a change costs a compression from its segment on.
//
// The text is cut into segments of a fixed number of bytes, each compressed to a piece of
// raw deflate data ended by a flush to a byte boundary. The pieces of the segments in
// front of a change are reused as they are; the segments from it on are compressed in one
// stream that starts with the 32 KiB of text in front of them as its dictionary, so that
// back-references cross segment borders as they do in one gzip run over the whole text.
// The last segment, while it is not full, is recompressed at every change behind it; when
// nothing but that segment is compressed, a small window does (see gzip_copy.cpp).
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
    struct Segment {
        size_t data_end;    // of its deflate data in data_
        uLong crc_through;  // CRC-32 of the text from its start to this segment's end
    };
    std::string data_;  // the full segments' deflate data, back to back
    std::vector<Segment> segments_;
    std::string last_;  // the last segment's and the tail's deflate data, which ends the stream
    uLong crc_ = 0;
    size_t length_ = 0;  // of the whole text
};

#endif
