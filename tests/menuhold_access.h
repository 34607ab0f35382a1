// Reaches the private operations of Menuhold for the unit tests and the fuzz targets.
#ifndef MENUHOLD_ACCESS_H
#define MENUHOLD_ACCESS_H

#include <map>
#include <string>

#include "menuhold.h"

class MenuholdTestAccess {
public:
    static int jsParse(Menuhold& m, std::string content, char* prod, char* version)
    {
        return m.jsParse(&content[0], prod, version);
    }
    static int readJsonFile(Menuhold& m, const std::string& path, char* prod, char* version, int* size)
    {
        std::string p = path;
        return m.readJsonFile(&p[0], prod, version, size);
    }
    static int compare(Menuhold& m, char* name, char* version) { return m.compare(name, version); }
    static void update_list(Menuhold& m, int req, std::string name, std::string version, int size)
    {
        m.update_list(req, &name[0], &version[0], size);
    }
    static void modifyTabrixTable(Menuhold& m, int req, std::string name, std::string version)
    {
        m.modifyTabrixTable(req, &name[0], &version[0]);
    }
    static void refresh_table(Menuhold& m) { m.refresh_table(); }
    static std::string status(Menuhold& m, int slot)
    {
        char buffer[200] = {};
        m.getListStatus(slot, buffer);
        return buffer;
    }
    static int delete_json(Menuhold& m, int index) { return m.delete_json(index); }
    static int add(Menuhold& m, std::string path) { return m.add(&path[0]); }
    static std::map<std::string, ProdInfo_s>& list(Menuhold& m) { return m.Json_list; }
    static cJSON* rows(Menuhold& m) { return m.table_aaData; }
    static void set_debug(Menuhold& m, int value) { m.debug = value; }
    static int ctrl_socket(const Menuhold& m) { return m.ctrl_socket; }
    // One request through the control loop's own dispatch, as from the given sender uid.
    static void serve(Menuhold& m, operation* request, char* datagram, uid_t sender)
    {
        m.c_uid = sender;
        m.c_uid_known = true;
        m.serve_request(request, datagram);
    }
};

#endif
