// SPDX-License-Identifier: MIT
// The product table in print: the rows of its "aaData" array by position, each row's
// printed text, and the writer of the history file and of its gzip copy.
//
// The history file is the formatted print of the whole document. Printing it anew for
// every change would cost time in proportion to the table, so each row's text is kept,
// in table order, in one buffer between the fixed text before the rows and after them:
// an added row appends its text, a removed row's followers move up and get their new ids
// by a copy. The gzip copy is compressed in segments of rows, each ended by a flush to a
// byte boundary with no reference to earlier data, so that the compressed bytes of the
// segments in front of the first changed row are reused as they are.
#ifndef MENUHOLD_TABLE_FILE_H
#define MENUHOLD_TABLE_FILE_H

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include <cjson/cJSON.h>
#include <zlib.h>

// The string at position of a table row; "" when there is none.
const char* row_field(const cJSON* row, int position);

// The rows of the document's "aaData" array, the last member of the document. A row's
// strings belong to this index and the row's items only refer to them, so the document
// must not be read after clear() (uninit frees the document first).
class TableRows {
public:
    // Starts over with document, whose "aaData" array must still be empty. False when the
    // document cannot be printed.
    bool reset(const cJSON* document);
    void clear();
    TableRows() = default;
    ~TableRows() { clear(); }
    TableRows(const TableRows&) = delete;
    TableRows& operator=(const TableRows&) = delete;

    size_t size() const { return rows_.size(); }
    const cJSON* operator[](size_t position) const { return rows_[position].item; }
    // The position of the first row whose product name equals prod_name; -1 if none.
    int find(const char* prod_name) const;
    // Appends the row (next id, prod_name, version) to aa_data; false when out of memory.
    bool append(cJSON* aa_data, const char* prod_name, const char* version);
    // Removes and frees the row at position; the rows behind it take the ids of their new
    // positions, in the document as in print.
    void remove(cJSON* aa_data, size_t position);

    // The printed document is head() + body() + tail(); body() holds the rows.
    const std::string& head() const { return head_; }
    const std::string& body() const { return body_; }
    const std::string& tail() const { return tail_; }
    // Where the printed row at position starts in body(); body().size() past the last row.
    size_t start_of(size_t position) const { return position < rows_.size() ? rows_[position].start : body_.size(); }
    // The first position whose print changed since mark_printed(); size() or more if none.
    size_t changed_from() const { return changed_from_; }
    void mark_printed() { changed_from_ = SIZE_MAX; }

private:
    struct Row {
        cJSON* item;       // owned by the document
        char* strings;     // "id\0name\0version\0", which the row's items refer to
        uint32_t start;    // of its printed text in body_ (a table of 4 GiB is far away)
        uint32_t name_hash;
    };
    void note_change(size_t position) { changed_from_ = std::min(changed_from_, position); }
    // Room for one more row of text_length printed bytes, so that adding it cannot fail.
    bool make_room(size_t text_length);

    std::vector<Row> rows_;
    std::string head_, body_, tail_;
    size_t changed_from_ = 0;
};

// Raw deflate at level 6 with a small window: a segment is a few KiB, so a larger window
// would only cost memory for the life of the process.
class Deflater {
public:
    Deflater() = default;
    ~Deflater();
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    // Appends to out the deflate data of the parts in a row, from an empty history; flush
    // Z_SYNC_FLUSH ends on a byte boundary without ending the stream, Z_FINISH ends it.
    bool piece(std::initializer_list<std::string_view> parts, int flush, std::string& out);

private:
    z_stream zs_{};
    bool ready_ = false;
};

// Writes the history file and its gzip copy in a directory given by its descriptor.
class HistoryWriter {
public:
    // Writes the history file, then the gzip copy of whatever history file exists: the
    // table's own print when it was written, else the file an earlier rewrite left.
    // Failures are logged; nothing is returned, since no client's answer depends on them.
    void publish(int dir_fd, TableRows& rows);

    // Writes the printed table to name; returns 0 or an errno. *mtime: the file's mtime.
    int write_text(int dir_fd, const char* name, const TableRows& rows, time_t* mtime);
    // Brings the compressed segments up to the rows' print; false when out of memory.
    bool compress(TableRows& rows);
    // Writes the gzip copy of the last compressed print to gz_name, its header carrying
    // header_name and mtime; returns 0 or an errno.
    int write_gzip(int dir_fd, const char* gz_name, const char* header_name, time_t mtime);
    // The gzip member of data, as gzip -c would write it: level 6, header_name, mtime, Unix.
    bool gzip(const std::string& data, const char* header_name, time_t mtime, std::string& out);
    // Writes a member made by gzip() to gz_name; returns 0 or an errno.
    int write_gzip(int dir_fd, const char* gz_name, const std::string& member);

private:
    void write_gzip_of_file(int dir_fd);

    struct Segment {
        size_t end;        // of its deflate data in deflated_
        uLong crc_through; // CRC-32 of the print from its start to this segment's end
    };
    Deflater deflater_;
    std::string deflated_;       // the segments' deflate data, back to back
    std::vector<Segment> segments_;
    std::string last_;           // the tail's deflate data, which ends the stream
    uLong crc_ = 0;
    size_t length_ = 0;          // of the whole print
};

#endif
