// SPDX-License-Identifier: MIT
#include "table_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>
#include <sys/uio.h>
#include <syslog.h>

#include "file_io.h"
#include "paths.h"

namespace {

constexpr mode_t kNewHistoryMode = 0776;  // less the umask

struct PrintDeleter {
    void operator()(char* text) const { cJSON_free(text); }
};
using PrintPtr = std::unique_ptr<char, PrintDeleter>;

// The start of a printed row: the separator from the row before and the quoted id.
// Returns its length; id receives the id's text.
size_t print_row_start(size_t position, char (&out)[32], char (&id)[24])
{
    snprintf(id, sizeof id, "%zu", position + 1);
    return static_cast<size_t>(snprintf(out, sizeof out, "%s[\"%s\"", position ? ", " : "", id));
}

size_t row_start_length(size_t position)
{
    size_t digits = 1;
    for (size_t id = position + 1; id >= 10; id /= 10) ++digits;
    return (position ? 2 : 0) + 3 + digits;
}

// FNV-1a: finds a name's row by a scan of the compact row index.
uint32_t name_hash(const char* name)
{
    uint32_t hash = 2166136261u;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) hash = (hash ^ *p) * 16777619u;
    return hash;
}

// A new row ["id", "name", "version"]. Its three strings lie back to back in one block,
// which the id item owns (cJSON frees the string of an item that is no reference) and the
// other two items refer into: the document owns everything it holds, in one allocation
// per row instead of three.
CJsonPtr new_row(const char* id, const char* name, const char* version)
{
    const size_t id_size = std::strlen(id) + 1, name_size = std::strlen(name) + 1;
    const size_t version_size = std::strlen(version) + 1;
    char* strings = static_cast<char*>(cJSON_malloc(id_size + name_size + version_size));
    if (!strings) return nullptr;
    std::memcpy(strings, id, id_size);
    std::memcpy(strings + id_size, name, name_size);
    std::memcpy(strings + id_size + name_size, version, version_size);
    CJsonPtr id_item(cJSON_CreateStringReference(strings));
    if (!id_item) {
        cJSON_free(strings);
        return nullptr;
    }
    id_item->type &= ~cJSON_IsReference;
    CJsonPtr row(cJSON_CreateArray());
    if (!row || !cJSON_AddItemToArray(row.get(), id_item.get())) return nullptr;
    id_item.release();
    for (const char* text : {strings + id_size, strings + id_size + name_size})
        if (!cJSON_AddItemToArray(row.get(), cJSON_CreateStringReference(text))) return nullptr;
    return row;
}

iovec part(const std::string& bytes) { return {const_cast<char*>(bytes.data()), bytes.size()}; }

}  // namespace

// ---------------------------------------------------------------- the document and its rows

bool ProductTable::build()
{
    static const char* const kColumns[3] = {"ID", "Product Name", "File Version"};
    clear();
    CJsonPtr root(cJSON_CreateObject());
    if (!root || !cJSON_AddItemToObject(root.get(), "iTotalRecords", cJSON_CreateNumber(3)) ||
        !cJSON_AddItemToObject(root.get(), "sColumns", cJSON_CreateStringArray(kColumns, 3)))
        return false;
    cJSON* aa_data = cJSON_AddArrayToObject(root.get(), "aaData");
    if (!aa_data) return false;
    // The print splits at the empty "aaData" array, the document's last member.
    const PrintPtr printed(cJSON_Print(root.get()));
    const std::string_view text = printed ? printed.get() : "";
    const size_t empty_rows = text.rfind("[]");
    if (empty_rows == std::string_view::npos) return false;
    print_ = text.substr(0, empty_rows + 1);
    tail_ = text.substr(empty_rows + 1);
    root_ = std::move(root);
    aa_data_ = aa_data;
    return true;
}

int ProductTable::find(const char* name) const
{
    const uint32_t hash = name_hash(name);
    for (size_t position = 0; position < rows_.size(); ++position) {
        if (rows_[position].name_hash == hash && std::strcmp(name_at(position), name) == 0)
            return static_cast<int>(position);
    }
    return -1;
}

const char* ProductTable::field(size_t position, int index) const
{
    const cJSON* item = cJSON_GetArrayItem(rows_[position].item, index);
    return cJSON_IsString(item) ? item->valuestring : "";
}

bool ProductTable::append(const char* name, const char* version)
{
    const size_t position = rows_.size();
    char start[32], id[24];
    const size_t start_length = print_row_start(position, start, id);
    CJsonPtr row = aa_data_ ? new_row(id, name, version) : nullptr;
    const PrintPtr printed(row ? cJSON_Print(row.get()) : nullptr);
    // The row prints as ["id", "name", "version"]: keep what follows the id as printed.
    const char* rest = printed ? printed.get() + 3 + std::strlen(id) : nullptr;
    if (!rest || !make_room(start_length + std::strlen(rest)) || !cJSON_AddItemToArray(aa_data_, row.get()))
        return false;

    const size_t offset = print_.size();
    print_.append(start, start_length).append(rest);
    rows_.push_back({row.release(), static_cast<uint32_t>(offset), name_hash(name)});
    note_change(position);
    return true;
}

void ProductTable::remove(size_t position)
{
    const Row gone = rows_[position];
    cJSON_Delete(cJSON_DetachItemViaPointer(aa_data_, gone.item));

    // Each follower moves up by one: its print is copied forward behind a new start. A new
    // start is never longer than the old one, so the copy never overtakes its source, and
    // the new id fits where the old one was.
    size_t write = gone.start;
    for (size_t j = position + 1; j < rows_.size(); ++j) {
        Row& row = rows_[j];
        const size_t end = start_of(j + 1);
        const size_t rest = row.start + row_start_length(j);
        char start[32], id[24];
        const size_t start_length = print_row_start(j - 1, start, id);
        std::memcpy(row.item->child->valuestring, id, std::strlen(id) + 1);
        std::memcpy(&print_[write], start, start_length);
        std::memmove(&print_[write + start_length], &print_[rest], end - rest);
        row.start = static_cast<uint32_t>(write);
        write += start_length + (end - rest);
    }
    print_.resize(write);
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(position));
    note_change(position);
}

bool ProductTable::make_room(size_t text_length)
{
    try {
        print_.reserve(print_.size() + text_length);  // grows geometrically, as append would
        if (rows_.size() == rows_.capacity()) rows_.reserve(2 * rows_.size() + 1);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool ProductTable::replace(size_t position, const char* name, const char* version)
{
    remove(position);
    return append(name, version);
}

// ---------------------------------------------------------------- the files

void ProductTable::publish(int dir_fd)
try {
    time_t mtime = 0;
    const iovec text[2] = {part(print_), part(tail_)};
    const mode_t mode = mode_for_rewrite(dir_fd, paths::kHistoryName, kNewHistoryMode);
    if (write_file_atomically(dir_fd, paths::kHistoryName, text, 2, mode, false, &mtime) != 0) {
        syslog(LOG_INFO, "[%s][%d]fail to create json table\n", "refresh_table", __LINE__);
        publish_copy_of_file(dir_fd);
        return;
    }
    if (changed_from_ != SIZE_MAX) {
        if (!gzip_copy_.update(print_, tail_, start_of(changed_from_))) {
            syslog(LOG_ERR, "cannot compress %s: %s\n", paths::kHistory, strerror(ENOMEM));
            return;
        }
        changed_from_ = SIZE_MAX;
    }
    const int error = gzip_copy_.write(dir_fd, paths::kHistoryGzName, paths::kHistoryName, mtime);
    if (error) syslog(LOG_ERR, "cannot write %s: %s\n", paths::kHistoryGz, strerror(error));
} catch (const std::bad_alloc&) {  // the gzip copy stays as it was; its pieces are made anew next time
    syslog(LOG_ERR, "cannot compress %s: %s\n", paths::kHistory, strerror(ENOMEM));
}

// The history file could not be written: the gzip copy is made of the one an earlier
// rewrite left, so that the two still agree.
void ProductTable::publish_copy_of_file(int dir_fd)
{
    std::string text;
    time_t mtime = 0;
    GzipCopy copy;
    int error = read_whole_file(dir_fd, paths::kHistoryName, text, &mtime);
    if (error || !copy.update(text, {}, 0)) {
        syslog(LOG_ERR, "cannot compress %s: %s\n", paths::kHistory, strerror(error ? error : ENOMEM));
        return;
    }
    error = copy.write(dir_fd, paths::kHistoryGzName, paths::kHistoryName, mtime);
    if (error) syslog(LOG_ERR, "cannot write %s: %s\n", paths::kHistoryGz, strerror(error));
}
