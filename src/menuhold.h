// SPDX-License-Identifier: MIT
// Menuhold: holds uploaded product files and publishes them as a product table.
// The service object, its product record and the request codes of the product list.
#ifndef MENUHOLD_H
#define MENUHOLD_H

#include <csignal>
#include <map>
#include <memory>
#include <string>
#include <vector>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>

#include <cjson/cJSON.h>

#include "debug.h"
#include "protocol.h"
#include "replies.h"
#include "request_queue.h"
#include "table_file.h"

// The product record of the product list: one held product.
typedef struct ProdInfo_s {
    char prod_name[60];
    char version[25];
    int file_size;
} ProdInfo_t;

// Request code of compare, update_list and modifyTabrixTable.
enum json_handler {
    DO_NOTHING = 0,
    DO_ADD = 1,
    DO_REPLACE = 2,
    DO_DELETE = 3,
};

// A product file as it is held: exactly the bytes that were validated (the held copies
// are made of these, never of a second read), its record and its permission bits.
struct ProductFile {
    std::string bytes;
    ProdInfo_t info{};
    mode_t mode = 0;
};

class Menuhold {
public:
    Menuhold();
    ~Menuhold();
    Menuhold(const Menuhold&) = delete;
    Menuhold& operator=(const Menuhold&) = delete;
    // The fuzz target reads product files through the very reader the service uses.
    friend struct ProductFileFuzzer;

    int init(int json_debug);
    int run();
    int recovery(bool clear_bad_json);
    int stop();
    void uninit();

private:
    // Control service (control_service.cpp)
    int sendMsgClient(operation* toClient, int error);
    bool wait_for_datagrams();
    void read_ahead();
    bool receive(Request& request);
    void serve(Request& request);
    int send_reply(const char* datagram);
    // Product file store (product_store.cpp)
    int add(char* filename, uid_t sender_uid);
    int jsParse(char* content, char* prod, char* version);
    int compare(char* import_prod_name, char* import_version);
    int readJsonFile(int fd, const char* filename, ProductFile& file);
    int delete_json(int index);
    void recover_entry(int menu_fd, const char* entry_name, std::map<std::string, std::string>& listed_files);
    // Product list and table (product_table.cpp)
    void refresh_table();
    void update_list(int req, char* prod_name, char* version, int fsize);
    void getListStatus(int slot, char* buffer);
    void modifyTabrixTable(int req, char* prod_name, char* version);
    void build_table();

    volatile int debug;
    volatile sig_atomic_t running_flag;
    int ctrl_socket;
    int initialized;
    std::map<std::string, ProdInfo_s> Json_list;
    struct sockaddr_un c_addr;
    Sender c_sender;  // who sent the request being served: its reply goes with these rights
    // The product table (table_file.h): its document, rows, printed text and gzip copy.
    // table_root and table_aaData name its document: table_root owns it (inside table),
    // table_aaData is its "aaData" array and owns nothing; null before init and after uninit.
    ProductTable table;
    const CJsonPtr& table_root = table.root();
    cJSON* const& table_aaData = table.aa_data();

    RequestQueue requests;  // read ahead, waiting to be served in turn
    Replies replies;

    // Menu copies found at start under another name than their product's held file
    // name: a deletion of the product removes them too (and their push copies), so that a
    // deleted product does not come back at the next start.
    std::multimap<std::string, std::string> other_menu_copies;
};

// The one service object; null until main() has created it.
extern Menuhold* Json_mgt;

#endif
