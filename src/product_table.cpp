// SPDX-License-Identifier: MIT
// The product list and the product table: the operations that change them, the rewrite
// of the history file with its gzip copy, and the status text of one slot.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <syslog.h>

#include "bounded.h"
#include "file_io.h"
#include "menuhold.h"
#include "paths.h"

namespace {

// Adds item to object as name; false, with the item freed, when either is missing or
// there is no memory for the name.
bool add_member(cJSON* object, const char* name, cJSON* item)
{
    if (item && cJSON_AddItemToObject(object, name, item)) return true;
    cJSON_Delete(item);
    return false;
}

}  // namespace

// The empty table of init, whose history file exists before the first request. A service
// without memory for it cannot start: std::bad_alloc.
void Menuhold::build_table()
{
    static const char* const sColumns[3] = {"ID", "Product Name", "File Version"};
    cJSON* root = table_root.get();
    table_aaData = cJSON_CreateArray();
    if (!root || !add_member(root, "iTotalRecords", cJSON_CreateNumber(3)) ||
        !add_member(root, "sColumns", cJSON_CreateStringArray(sColumns, 3)) ||
        !add_member(root, "aaData", table_aaData) || !table_rows.reset(root)) {
        syslog(LOG_ERR, "%s(): no memory for the table\n", "init");
        throw std::bad_alloc();
    }
    refresh_table();
    publish_history();
}

void Menuhold::update_list(int req, char* prod_name, char* version, int fsize)
{
    const std::string tmp_str_prod(prod_name);
    switch (req) {
    case DO_ADD: {
        debugf(debug, "%s(): add\n", "update_list");
        ProdInfo_s newprod{};
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
        const int p = table_rows.find(prod_name);
        if (p < 0) {
            debugf(debug, "[%s][%d] Cannot find [%s] in Tabrix Table\n", "modifyTabrixTable", __LINE__, prod_name);
            return;
        }
        debugf(debug, "[%s][%d] Delete [%d] in Tabrix Table\n", "modifyTabrixTable", __LINE__, p);
        table_rows.remove(table_aaData, p);
        if (req == DO_DELETE) {
            refresh_table();
            return;
        }
    } else if (req != DO_ADD) {
        refresh_table();
        return;
    }
    if (!table_rows.append(table_aaData, prod_name, version))
        syslog(LOG_ERR, "%s(): no memory for the row of product %s\n", "modifyTabrixTable", prod_name);
    refresh_table();
}

// Every change asks for the history file to be rewritten; it is written once, when the
// request has been served (before its reply) or the rebuild has ended, so that a request
// that changes the table twice costs one rewrite.
void Menuhold::refresh_table() { history_behind = true; }

void Menuhold::publish_history()
{
    if (!history_behind) return;
    history_behind = false;
    history.publish(service_directories().history.fd(), table_rows);
}

// The three lines of a slot's status, cut to the reply's 199 characters.
void Menuhold::getListStatus(int slot, char* buffer)
{
    const bool held = slot >= 0 && static_cast<size_t>(slot) < table_rows.size();
    const cJSON* row = held ? table_rows[static_cast<size_t>(slot)] : nullptr;
    snprintf(buffer, 200, "Availability: %s\nProduct name: %s\nFile version:[%s]", row ? "No" : "Yes",
             row ? row_field(row, 1) : "No product", row ? row_field(row, 2) : " ");
}
