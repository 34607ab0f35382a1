// SPDX-License-Identifier: MIT
// The product list and the product table: the operations that change them, the writing
// of the history file, and the status text of one slot.
//
// The table's operations change it in memory only. The history file and its gzip copy are
// written by refresh_table, which each operation that changes the table calls once, at
// its end: the upload (before the held copies are written), the deletion (after they are
// removed), the rebuild at start and "refresh" (which rewrites them even when nothing
// changed). A request that moves a row thus writes them once, and the rebuild once for
// all products.
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <syslog.h>

#include "bounded.h"
#include "menuhold.h"
#include "paths.h"
#include "printable.h"

// The empty table of init, whose history file exists before the first request.
void Menuhold::build_table()
{
    if (!table.build()) {  // a service without memory for its empty table cannot start
        syslog(LOG_ERR, "%s(): no memory for the table\n", "init");
        throw std::bad_alloc();
    }
    refresh_table();
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
    bool stored = true;
    switch (req) {
    case DO_ADD:
        stored = table.append(prod_name, version);
        break;
    case DO_REPLACE:
    case DO_DELETE: {
        const int p = table.find(prod_name);
        if (p < 0) {
            debugf(debug, "[%s][%d] Cannot find [%s] in Tabrix Table\n", "modifyTabrixTable", __LINE__, prod_name);
            return;
        }
        debugf(debug, "[%s][%d] Delete [%d] in Tabrix Table\n", "modifyTabrixTable", __LINE__, p);
        if (req == DO_DELETE)
            table.remove(static_cast<size_t>(p));
        else
            stored = table.replace(static_cast<size_t>(p), prod_name, version);
        break;
    }
    default:
        refresh_table();  // nothing to change: the history file is written as it is
        return;
    }
    if (!stored)
        syslog(LOG_ERR, "%s(): no memory for the row of product %s\n", "modifyTabrixTable",
               printable::escaped(prod_name).c_str());
}

// Writes the history file and its gzip copy from the table, whether it changed or not.
void Menuhold::refresh_table() { table.publish(service_directories().history.fd()); }

// The three lines of a slot's status, cut to the reply's 199 characters.
void Menuhold::getListStatus(int slot, char* buffer)
{
    const bool held = slot >= 0 && static_cast<size_t>(slot) < table.size();
    snprintf(buffer, 200, "Availability: %s\nProduct name: %s\nFile version:[%s]", held ? "No" : "Yes",
             held ? table.name_at(static_cast<size_t>(slot)) : "No product",
             held ? table.version_at(static_cast<size_t>(slot)) : " ");
}
