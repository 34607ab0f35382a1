// Menuhold: holds uploaded product files and publishes them as a product table.
// The shapes below are the specification's (Parts 2.1, 2.2, 4.1); see README.md.
#ifndef MENUHOLD_H
#define MENUHOLD_H

#include <csignal>
#include <map>
#include <memory>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>

#include <cjson/cJSON.h>

#include "debug.h"
#include "protocol.h"
#include "table_file.h"


// The product record of the product list (Part 4.1).
typedef struct ProdInfo_s {
    char prod_name[60];
    char version[25];
    int file_size;
} ProdInfo_t;

// Request code of compare, update_list and modifyTabrixTable (Part 4.1).
enum json_handler {
    DO_NOTHING = 0,
    DO_ADD = 1,
    DO_REPLACE = 2,
    DO_DELETE = 3,
};

struct CJsonDeleter {
    void operator()(cJSON* item) const { cJSON_Delete(item); }
};
using CJsonPtr = std::unique_ptr<cJSON, CJsonDeleter>;

class Menuhold {
public:
    Menuhold();
    ~Menuhold();
    Menuhold(const Menuhold&) = delete;
    Menuhold& operator=(const Menuhold&) = delete;

    int init(int json_debug);
    int run();
    int recovery(bool clear_bad_json);
    int stop();
    void uninit();

private:
    // Control service (control_service.cpp)
    int sendMsgClient(operation* toClient, int error);
    // Product file store (product_store.cpp)
    int add(char* filename);
    int jsParse(char* content, char* prod, char* version);
    int compare(char* import_prod_name, char* import_version);
    int readJsonFile(char* filename, char* prod_str, char* ver_str, int* filesz);
    int delete_json(int index);
    // Product list and table (product_table.cpp)
    void refresh_table();
    void update_list(int req, char* prod_name, char* version, int fsize);
    void getListStatus(int slot, char* buffer);
    void modifyTabrixTable(int req, char* prod_name, char* version);

    // The specification's members, in its order (Part 2.2).
    volatile int debug;
    volatile sig_atomic_t running_flag;
    int ctrl_socket;
    int initialized;
    std::map<std::string, ProdInfo_s> Json_list;
    struct sockaddr_un c_addr;
    CJsonPtr table_root;  // owns the whole table document
    cJSON* table_aaData;  // the "aaData" array inside table_root; owns nothing

    // Our own state beyond the specification (DESIGN.md; README.md, "Decisions").
    struct LoadedFile {      // the bytes that readJsonFile validated last
        std::string bytes;   // copies are made of exactly these (no re-read, no race)
        mode_t mode = 0;
        bool opened = false; // a regular file was opened: an upload may be removed
    };
    LoadedFile loaded;
    TableRows table_rows;     // the rows of table_aaData by position, and their print
    HistoryWriter history;    // the history file and its gzip copy
    int refresh_hold = 0;     // > 0 while history rewrites are coalesced
    bool refresh_pending = false;
    uid_t c_uid = 0;          // the sender's credentials (DESIGN.md D5)
    bool c_uid_known = false;

    // RAII: coalesces history rewrites within one request or the rebuild (issue 7).
    class RefreshBatch {
    public:
        explicit RefreshBatch(Menuhold& m);
        ~RefreshBatch();
        RefreshBatch(const RefreshBatch&) = delete;
        RefreshBatch& operator=(const RefreshBatch&) = delete;
    private:
        Menuhold& owner;
    };

    // Helpers
    void serve_request(operation* request, char* buffer);
    int serve_write(const char* path);
    void send_status_reply(operation* request, char* buffer);
    bool receive_request(char* buffer);
    void receive_credentials(const struct msghdr& msg);
    bool sender_may_take(const char* path);
    int open_product_file(const char* filename, struct stat& st, int* filesz);
    bool store_copy(const std::string& path, bool durable);
    void release_loaded();
    void recover_entry(const char* entry_name, std::map<std::string, std::string>& listed_files);
    void build_table();
    void write_history();
    void write_gzip_of_file(int dir);

    friend class MenuholdTestAccess;  // unit tests reach the private operations
};

// The one service object; null until main() has created it (Part 1.1).
extern Menuhold* Json_mgt;

#endif
