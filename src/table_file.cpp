// SPDX-License-Identifier: MIT
#include "table_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <sys/uio.h>
#include <syslog.h>

#include "file_io.h"
#include "paths.h"

namespace {

constexpr size_t kRowsPerSegment = 64;        // about 2 KiB of print
// Rows repeat their shape within a few hundred bytes: a 512-byte window compresses the
// table as well as a 32 KiB one, and the whole deflate state takes about 12 KiB.
constexpr int kWindowBits = 9;
constexpr int kMemLevel = 3;
constexpr mode_t kNewHistoryMode = 0776;      // less the umask
constexpr mode_t kNewGzipMode = 0666;         // what a shell's redirection would create

struct PrintDeleter {
    void operator()(char* text) const { cJSON_free(text); }
};
struct ItemDeleter {
    void operator()(cJSON* item) const { cJSON_Delete(item); }
};

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

void put_le32(unsigned char* out, uLong value)
{
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

// The gzip header: deflate, a file name, mtime, no extra flags (level 6), OS Unix.
std::string gzip_header(const char* name, time_t mtime)
{
    unsigned char fixed[10] = {0x1f, 0x8b, 8, 0x08, 0, 0, 0, 0, 0, 3};
    put_le32(fixed + 4, static_cast<uLong>(mtime));
    std::string header(reinterpret_cast<const char*>(fixed), sizeof fixed);
    header.append(name, std::strlen(name) + 1);
    return header;
}

std::string gzip_trailer(uLong crc, size_t length)
{
    unsigned char trailer[8];
    put_le32(trailer, crc);
    put_le32(trailer + 4, static_cast<uLong>(length & 0xffffffffu));
    return std::string(reinterpret_cast<const char*>(trailer), sizeof trailer);
}

// CRC-32 of text continued from crc (0 to start). zlib's crc32 would take the null data
// of an empty view for a request of its initial value.
uLong checksum(uLong crc, std::string_view text)
{
    return text.empty() ? crc : crc32(crc, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size()));
}

// FNV-1a: finds a name's row by a scan of the compact row index.
uint32_t name_hash(const char* name)
{
    uint32_t hash = 2166136261u;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) hash = (hash ^ *p) * 16777619u;
    return hash;
}

iovec part(const std::string& bytes) { return {const_cast<char*>(bytes.data()), bytes.size()}; }

}  // namespace

const char* row_field(const cJSON* row, int position)
{
    const cJSON* item = cJSON_GetArrayItem(row, position);
    return cJSON_IsString(item) ? item->valuestring : "";
}

// ---------------------------------------------------------------- rows

bool TableRows::reset(const cJSON* document)
{
    clear();
    std::unique_ptr<char, PrintDeleter> printed(cJSON_Print(document));
    if (!printed) return false;
    const std::string text(printed.get());
    const size_t empty_rows = text.rfind("[]");  // the empty "aaData" array, the last member
    if (empty_rows == std::string::npos) return false;
    head_ = text.substr(0, empty_rows + 1);
    tail_ = text.substr(empty_rows + 1);
    return true;
}

void TableRows::clear()
{
    for (const Row& row : rows_) std::free(row.strings);
    rows_.clear();
    head_.clear();
    body_.clear();
    tail_.clear();
    changed_from_ = 0;
}

int TableRows::find(const char* prod_name) const
{
    const uint32_t hash = name_hash(prod_name);
    for (size_t position = 0; position < rows_.size(); ++position) {
        const Row& row = rows_[position];
        if (row.name_hash == hash && std::strcmp(row.item->child->next->valuestring, prod_name) == 0)
            return static_cast<int>(position);
    }
    return -1;
}

bool TableRows::append(cJSON* aa_data, const char* prod_name, const char* version)
{
    const size_t position = rows_.size();
    char start[32], id[24];
    const size_t start_length = print_row_start(position, start, id);
    const size_t id_size = std::strlen(id) + 1, name_size = std::strlen(prod_name) + 1;
    const size_t version_size = std::strlen(version) + 1;
    char* strings = static_cast<char*>(std::malloc(id_size + name_size + version_size));
    if (!strings) return false;
    std::memcpy(strings, id, id_size);
    std::memcpy(strings + id_size, prod_name, name_size);
    std::memcpy(strings + id_size + name_size, version, version_size);
    std::unique_ptr<cJSON, ItemDeleter> row(cJSON_CreateArray());
    bool built = row != nullptr;
    for (const char* text : {strings, strings + id_size, strings + id_size + name_size})
        built = built && cJSON_AddItemToArray(row.get(), cJSON_CreateStringReference(text));
    std::unique_ptr<char, PrintDeleter> printed(built ? cJSON_Print(row.get()) : nullptr);
    // The row prints as ["id", "name", "version"]: keep what follows the id as printed.
    const char* rest = printed ? printed.get() + 3 + std::strlen(id) : nullptr;
    if (!rest || !make_room(start_length + std::strlen(rest)) || !cJSON_AddItemToArray(aa_data, row.get())) {
        std::free(strings);
        return false;
    }
    cJSON* item = row.release();

    const size_t offset = body_.size();
    body_.append(start, start_length).append(rest);
    rows_.push_back({item, strings, static_cast<uint32_t>(offset), name_hash(prod_name)});
    note_change(position);
    return true;
}

bool TableRows::make_room(size_t text_length)
{
    try {
        body_.reserve(body_.size() + text_length);  // grows geometrically, as append would
        if (rows_.size() == rows_.capacity()) rows_.reserve(2 * rows_.size() + 1);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void TableRows::remove(cJSON* aa_data, size_t position)
{
    const Row gone = rows_[position];
    cJSON_Delete(cJSON_DetachItemViaPointer(aa_data, gone.item));
    std::free(gone.strings);

    // Each follower moves up by one: its print is copied forward behind a new start.
    // A new start is never longer than the old one, so the copy never overtakes its source,
    // and the new id fits where the old one was.
    size_t write = gone.start;
    for (size_t j = position + 1; j < rows_.size(); ++j) {
        Row& row = rows_[j];
        const size_t end = j + 1 < rows_.size() ? rows_[j + 1].start : body_.size();
        const size_t rest = row.start + row_start_length(j);
        char start[32], id[24];
        const size_t start_length = print_row_start(j - 1, start, id);
        std::memcpy(row.strings, id, std::strlen(id) + 1);
        std::memcpy(&body_[write], start, start_length);
        std::memmove(&body_[write + start_length], &body_[rest], end - rest);
        row.start = static_cast<uint32_t>(write);
        write += start_length + (end - rest);
    }
    body_.resize(write);
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(position));
    note_change(position);
}

// ---------------------------------------------------------------- compression

Deflater::~Deflater()
{
    if (ready_) deflateEnd(&zs_);
}

bool Deflater::piece(std::initializer_list<std::string_view> parts, int flush, std::string& out)
{
    if (!ready_) ready_ = deflateInit2(&zs_, 6, Z_DEFLATED, -kWindowBits, kMemLevel, Z_DEFAULT_STRATEGY) == Z_OK;
    if (!ready_ || deflateReset(&zs_) != Z_OK) return false;
    size_t total = 0;
    for (const auto& p : parts) total += p.size();
    const size_t at = out.size();
    out.resize(at + deflateBound(&zs_, static_cast<uLong>(total)) + 16);
    zs_.next_out = reinterpret_cast<Bytef*>(&out[at]);
    zs_.avail_out = static_cast<uInt>(out.size() - at);
    int rc = Z_OK;
    size_t left = parts.size();
    for (const auto& p : parts) {
        zs_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(p.data()));
        zs_.avail_in = static_cast<uInt>(p.size());
        rc = deflate(&zs_, --left ? Z_NO_FLUSH : flush);
        if (zs_.avail_in != 0) break;
    }
    const bool ok = zs_.avail_in == 0 && (flush == Z_FINISH ? rc == Z_STREAM_END : rc == Z_OK && zs_.avail_out > 0);
    out.resize(ok ? out.size() - zs_.avail_out : at);
    return ok;
}

// ---------------------------------------------------------------- the files

int HistoryWriter::write_text(int dir_fd, const char* name, const TableRows& rows, time_t* mtime)
{
    const iovec parts[3] = {part(rows.head()), part(rows.body()), part(rows.tail())};
    return write_file_atomically(dir_fd, name, parts, 3, mode_for_rewrite(dir_fd, name, kNewHistoryMode), false, mtime);
}

bool HistoryWriter::compress(TableRows& rows)
{
    // Segment s holds the rows [s * kRowsPerSegment, (s + 1) * kRowsPerSegment); the first
    // segment also holds the head, so there is always one.
    const size_t keep = std::min(segments_.size(), rows.changed_from() / kRowsPerSegment);
    segments_.resize(keep);
    deflated_.resize(keep ? segments_.back().end : 0);
    const std::string_view body = rows.body();
    for (size_t s = keep; s == 0 || s * kRowsPerSegment < rows.size(); ++s) {
        const size_t from = rows.start_of(s * kRowsPerSegment);
        const std::string_view text = body.substr(from, rows.start_of((s + 1) * kRowsPerSegment) - from);
        const std::string_view head = s == 0 ? std::string_view(rows.head()) : std::string_view();
        if (!deflater_.piece({head, text}, Z_SYNC_FLUSH, deflated_)) {
            deflated_.resize(s ? segments_.back().end : 0);
            return false;
        }
        const uLong crc = checksum(checksum(s ? segments_.back().crc_through : 0, head), text);
        segments_.push_back({deflated_.size(), crc});
    }
    last_.clear();
    if (!deflater_.piece({rows.tail()}, Z_FINISH, last_)) return false;
    crc_ = checksum(segments_.back().crc_through, rows.tail());
    length_ = rows.head().size() + rows.body().size() + rows.tail().size();
    rows.mark_printed();
    return true;
}

int HistoryWriter::write_gzip(int dir_fd, const char* gz_name, const char* header_name, time_t mtime)
{
    const std::string header = gzip_header(header_name, mtime);
    const std::string trailer = gzip_trailer(crc_, length_);
    const iovec parts[4] = {part(header), part(deflated_), part(last_), part(trailer)};
    return write_file_atomically(dir_fd, gz_name, parts, 4, mode_for_rewrite(dir_fd, gz_name, kNewGzipMode), false);
}

bool HistoryWriter::gzip(const std::string& data, const char* header_name, time_t mtime, std::string& out)
{
    out = gzip_header(header_name, mtime);
    if (!deflater_.piece({data}, Z_FINISH, out)) return false;
    out += gzip_trailer(checksum(0, data), data.size());
    return true;
}

int HistoryWriter::write_gzip(int dir_fd, const char* gz_name, const std::string& member)
{
    const iovec whole = part(member);
    return write_file_atomically(dir_fd, gz_name, &whole, 1, mode_for_rewrite(dir_fd, gz_name, kNewGzipMode), false);
}

void HistoryWriter::publish(int dir, TableRows& rows)
try {
    time_t mtime = 0;
    if (write_text(dir, paths::kHistoryName, rows, &mtime) != 0) {
        syslog(LOG_INFO, "[%s][%d]fail to create json table\n", "refresh_table", __LINE__);
        write_gzip_of_file(dir);
        return;
    }
    if (!compress(rows)) {
        syslog(LOG_ERR, "cannot compress %s: %s\n", paths::kHistory, strerror(ENOMEM));
        return;
    }
    const int error = write_gzip(dir, paths::kHistoryGzName, paths::kHistoryName, mtime);
    if (error) syslog(LOG_ERR, "cannot write %s: %s\n", paths::kHistoryGz, strerror(error));
} catch (const std::bad_alloc&) {  // the compressed pieces are made again from the rows next time
    syslog(LOG_ERR, "cannot compress %s: %s\n", paths::kHistory, strerror(ENOMEM));
}

void HistoryWriter::write_gzip_of_file(int dir)
{
    std::string text, member;
    time_t mtime = 0;
    const int read_error = read_whole_file(dir, paths::kHistoryName, text, &mtime);
    if (read_error || !gzip(text, paths::kHistoryName, mtime, member)) {
        syslog(LOG_ERR, "cannot compress %s: %s\n", paths::kHistory, strerror(read_error ? read_error : ENOMEM));
        return;
    }
    const int error = write_gzip(dir, paths::kHistoryGzName, member);
    if (error) syslog(LOG_ERR, "cannot write %s: %s\n", paths::kHistoryGz, strerror(error));
}
