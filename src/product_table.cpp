// Product list and table (Parts 4.1, 4.2, 4.3): the product list, the product table
// document, the history file with its gzip copy, and the status text of one slot.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <syslog.h>

#include "bounded.h"
#include "file_io.h"
#include "menuhold.h"
#include "paths.h"

namespace {

constexpr mode_t kNewHistoryMode = 0776;  // Part 4.2, less the umask
constexpr mode_t kNewGzipMode = 0666;     // what the shell's redirection would create

struct CJsonTextDeleter {
    void operator()(char* text) const { cJSON_free(text); }
};

}  // namespace

const char* Menuhold::row_field(const cJSON* row, int position)
{
    const cJSON* item = cJSON_GetArrayItem(row, position);
    return cJSON_IsString(item) ? item->valuestring : "";
}

Menuhold::RefreshBatch::RefreshBatch(Menuhold& m) : owner(m) { ++owner.refresh_hold; }

Menuhold::RefreshBatch::~RefreshBatch()
{
    if (--owner.refresh_hold == 0 && owner.refresh_pending) {
        owner.refresh_pending = false;
        owner.refresh_table();
    }
}

// Part 4.2's table build, steps 2 to 5 of init.
void Menuhold::build_table()
{
    static const char* const sColumns[3] = {"ID", "Product Name", "File Version"};
    cJSON_AddItemToObject(table_root.get(), "iTotalRecords", cJSON_CreateNumber(3));
    cJSON_AddItemToObject(table_root.get(), "sColumns", cJSON_CreateStringArray(sColumns, 3));
    table_aaData = cJSON_CreateArray();
    table_rows.clear();
    cJSON_AddItemToObject(table_root.get(), "aaData", table_aaData);
    refresh_table();
}

void Menuhold::update_list(int req, char* prod_name, char* version, int fsize)
{
    const std::string tmp_str_prod(prod_name);
    switch (req) {
    case DO_ADD: {
        debugf(debug, "%s(): add\n", "update_list");
        ProdInfo_s newprod;
        std::memset(&newprod, 0, sizeof newprod);
        copy_bounded(newprod.prod_name, sizeof newprod.prod_name, prod_name);
        copy_bounded(newprod.version, sizeof newprod.version, version);
        newprod.file_size = fsize;
        Json_list.insert({tmp_str_prod, newprod});
        modifyTabrixTable(DO_ADD, prod_name, version);
        break;
    }
    case DO_REPLACE: {
        debugf(debug, "%s(): replace\n", "update_list");
        const auto found = Json_list.find(tmp_str_prod);
        if (found == Json_list.end()) {
            syslog(LOG_INFO, "%s(): nothing to replace\n", "update_list");
            return;
        }
        ProdInfo_s& record = found->second;
        copy_bounded(record.prod_name, sizeof record.prod_name, prod_name);
        copy_bounded(record.version, sizeof record.version, version);
        record.file_size = fsize;
        modifyTabrixTable(DO_REPLACE, prod_name, version);
        break;
    }
    case DO_DELETE:
        Json_list.erase(tmp_str_prod);
        modifyTabrixTable(DO_DELETE, prod_name, version);
        break;
    default:
        break;
    }
}

void Menuhold::modifyTabrixTable(int req, char* prod_name, char* version)
{
    if (req == DO_DELETE || req == DO_REPLACE) {
        const int p = find_row(prod_name);
        if (p < 0) {
            debugf(debug, "[%s][%d] Cannot find [%s] in Tabrix Table\n", "modifyTabrixTable", __LINE__, prod_name);
            return;
        }
        debugf(debug, "[%s][%d] Delete [%d] in Tabrix Table\n", "modifyTabrixTable", __LINE__, p);
        remove_row(p);
        if (req == DO_DELETE) {
            refresh_table();
            return;
        }
    } else if (req != DO_ADD) {
        refresh_table();
        return;
    }
    append_row(prod_name, version);
    refresh_table();
}

// The first row, from position 0 upward, whose product name equals prod_name; or -1.
int Menuhold::find_row(const char* prod_name) const
{
    for (size_t position = 0; position < table_rows.size(); ++position) {
        if (strcmp(row_field(table_rows[position], 1), prod_name) == 0) return static_cast<int>(position);
    }
    return -1;
}

void Menuhold::append_row(const char* prod_name, const char* version)
{
    // Ids of any size (DESIGN.md D7); the Part's 3-character buffer held ids up to 99.
    const std::string id_char = std::to_string(table_rows.size() + 1);
    const char* strings[3] = {id_char.c_str(), prod_name, version};
    cJSON* row = cJSON_CreateStringArray(strings, 3);
    if (!row || !cJSON_AddItemToArray(table_aaData, row)) {
        cJSON_Delete(row);
        syslog(LOG_ERR, "%s(): no memory for the row of product %s\n", "modifyTabrixTable", prod_name);
        return;
    }
    table_rows.push_back(row);
}

// Removes the row at position and renumbers the rows behind it.
void Menuhold::remove_row(int position)
{
    cJSON_Delete(cJSON_DetachItemViaPointer(table_aaData, table_rows[position]));
    table_rows.erase(table_rows.begin() + position);
    for (size_t j = position; j < table_rows.size(); ++j) {
        cJSON* row = table_rows[j];
        const std::string id_char = std::to_string(j + 1);
        cJSON* id = cJSON_CreateString(id_char.c_str());
        if (!id || !cJSON_ReplaceItemInArray(row, 0, id)) {
            cJSON_Delete(id);
            syslog(LOG_ERR, "%s(): no memory to renumber row %zu\n", "modifyTabrixTable", j + 1);
        }
    }
}

void Menuhold::refresh_table()
{
    if (refresh_hold > 0) {
        refresh_pending = true;  // written once when the batch ends
        return;
    }
    write_history();
}

// Part 4.2's refresh: the formatted document into the history file, then the gzip copy
// of whatever history file exists (DESIGN.md D1, D2).
void Menuhold::write_history()
{
    // The last text's size is a good first guess: cJSON then seldom has to grow its buffer.
    static int size_hint = 4096;
    std::unique_ptr<char, CJsonTextDeleter> printed(cJSON_PrintBuffered(table_root.get(), size_hint, 1));
    std::string text = printed ? std::string(printed.get()) : std::string();
    size_hint = static_cast<int>(text.size() + text.size() / 8 + 256);
    const int dir = service_directories().history.fd();
    time_t mtime = 0;
    const struct iovec part = {&text[0], text.size()};
    const int error = printed ? write_file_atomically(dir, paths::kHistoryName, &part, 1,
                                                      mode_for_rewrite(dir, paths::kHistoryName, kNewHistoryMode),
                                                      false, &mtime)
                              : ENOMEM;
    if (error) {
        syslog(LOG_INFO, "[%s][%d]fail to create json table\n", "refresh_table", __LINE__);
        const int read_error = read_whole_file(dir, paths::kHistoryName, text, &mtime);
        if (read_error) {
            syslog(LOG_ERR, "cannot compress %s: %s\n", paths::kHistory, strerror(read_error));
            return;
        }
    }
    std::string compressed;
    if (!gzip_compress(text, paths::kHistoryName, mtime, compressed)) {
        syslog(LOG_ERR, "cannot compress %s: %s\n", paths::kHistory, strerror(ENOMEM));
        return;
    }
    const struct iovec gz_part = {&compressed[0], compressed.size()};
    const int gz_error = write_file_atomically(dir, paths::kHistoryGzName, &gz_part, 1,
                                               mode_for_rewrite(dir, paths::kHistoryGzName, kNewGzipMode), false);
    if (gz_error) syslog(LOG_ERR, "cannot write %s: %s\n", paths::kHistoryGz, strerror(gz_error));
}

void Menuhold::getListStatus(int slot, char* buffer)
{
    char tmp[200];
    const cJSON* row = slot >= 0 && static_cast<size_t>(slot) < table_rows.size() ? table_rows[slot] : nullptr;

    std::memset(tmp, 0, sizeof tmp);
    snprintf(tmp, sizeof tmp, "Availability: %s\n", row ? "No" : "Yes");
    snprintf(buffer, 200, "%s", tmp);

    std::memset(tmp, 0, sizeof tmp);
    snprintf(tmp, sizeof tmp, "Product name: %s\n", row ? row_field(row, 1) : "No product");
    strncat(buffer, tmp, 199 - strlen(buffer));

    std::memset(tmp, 0, sizeof tmp);
    snprintf(tmp, sizeof tmp, "File version:[%s]", row ? row_field(row, 2) : " ");
    strncat(buffer, tmp, 199 - strlen(buffer));
}
