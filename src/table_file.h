// SPDX-License-Identifier: MIT
// The product table: the document that the history file prints, and what is kept to
// write that file and its gzip copy fast. One object owns all of it.
//
// The document is a cJSON tree ("iTotalRecords", "sColumns", "aaData"); a row is an array
// of three strings (id, product name, file version). Printing the whole tree for every
// change would cost time in proportion to the table, so each row's printed text is kept,
// in table order, in one buffer behind the fixed text in front of the rows: an added row
// appends its text, and a removed row's followers move up and get their new ids by a copy.
// The gzip copy (gzip_copy.h) is then compressed again only from the first changed row on.
#ifndef MENUHOLD_TABLE_FILE_H
#define MENUHOLD_TABLE_FILE_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <cjson/cJSON.h>

#include "gzip_copy.h"

struct CJsonDeleter {
    void operator()(cJSON* item) const { cJSON_Delete(item); }
};
using CJsonPtr = std::unique_ptr<cJSON, CJsonDeleter>;

class ProductTable {
public:
    ProductTable() = default;
    ProductTable(ProductTable&&) = default;
    ProductTable& operator=(ProductTable&&) = default;

    // Builds the empty table: "iTotalRecords" 3, the column titles, no rows. False when out
    // of memory; the table is then left unbuilt.
    bool build();
    // Frees the whole table; it is then as it was before build().
    void clear() { *this = ProductTable(); }

    // The document, and its "aaData" array; null before build() and after clear().
    const CJsonPtr& root() const { return root_; }
    cJSON* const& aa_data() const { return aa_data_; }

    size_t size() const { return rows_.size(); }
    // The position of the first row whose product name is name; -1 if there is none.
    int find(const char* name) const;
    const char* name_at(size_t position) const { return field(position, 1); }
    const char* version_at(size_t position) const { return field(position, 2); }

    // Appends the row (next id, name, version). False when out of memory: nothing changed.
    bool append(const char* name, const char* version);
    // Removes the row at position; the rows behind it move up and take the ids of their
    // new positions.
    void remove(size_t position);
    // A product's newer version: removes the row at position and appends (name, version).
    // False when out of memory: the row is then gone.
    bool replace(size_t position, const char* name, const char* version);

    // Writes the history file in dir_fd, then its gzip copy; without a history file written,
    // the copy of whatever history file is there. Failures are logged: no answer depends on them.
    void publish(int dir_fd);

private:
    struct Row {
        cJSON* item;         // in "aaData"; its id item owns the row's strings
        uint32_t start;      // of the row's printed text in print_ (a table of 4 GiB is far away)
        uint32_t name_hash;  // a name is found by a scan of this compact index
    };
    const char* field(size_t position, int index) const;
    // Where the printed row at position starts in print_; print_.size() past the last row.
    size_t start_of(size_t position) const { return position < rows_.size() ? rows_[position].start : print_.size(); }
    void note_change(size_t position) { changed_from_ = std::min(changed_from_, position); }
    void publish_copy_of_file(int dir_fd);
    // Room for one more row of text_length printed bytes, so that adding it cannot fail midway.
    bool make_room(size_t text_length);

    CJsonPtr root_;
    cJSON* aa_data_ = nullptr;
    std::vector<Row> rows_;
    std::string print_;  // the document's print up to the end of its rows
    std::string tail_;   // and the rest of it
    size_t changed_from_ = 0;  // the first row printed anew since the gzip copy was made
    GzipCopy gzip_copy_;
};

#endif
