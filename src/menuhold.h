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
    // Replies to the request being served: its command, with the result code error written
    // into toClient's option. 0, or -1 when the reply could not be sent.
    int sendMsgClient(operation* toClient, int error);
    // Waits up to 3 seconds for a datagram on the control socket; false when none came.
    bool wait_for_datagrams();
    // Reads the datagrams waiting on the control socket into the queues of their users.
    void read_ahead();
    // Queues a request read ahead, or serves it at once when there is no memory to queue it.
    void queue_or_serve(Request& request);
    // Receives one waiting datagram with its sender's address and credentials; false when
    // none waits.
    bool receive(Request& request);
    // Carries out one request and replies to it.
    void serve(Request& request);
    // Sends a 500-byte reply to c_addr with c_sender's rights, without ever blocking; 0,
    // or -1 when it was dropped.
    int send_reply(const char* datagram);

    // Product file store (product_store.cpp)
    // The upload ("write"): reads and validates the file at filename, enters it as a new
    // product or a newer version, writes the history file, then the held copies, and
    // removes the upload. 0 when it was accepted, and when it is valid but not newer (it
    // is removed then); -1 when it was refused: not the sender's or inside a directory of
    // held copies (it is kept then), unreadable, invalid, or a new product while the most
    // products are held (it is removed then, if it could be opened). compare gives nothing
    // but DO_NOTHING, DO_ADD and DO_REPLACE, so the 1 that another result would give never
    // occurs.
    int add(char* filename, uid_t sender_uid);
    // Parses content (NUL-terminated) and validates it as a product file. 0: prod (the
    // caller's 60 bytes) holds the product name and version (25 bytes) the file version.
    // -1 when it is no valid product file; the two buffers may then hold part of it.
    int jsParse(char* content, char* prod, char* version);
    // What an upload is against the product list: DO_ADD for a name not held, DO_REPLACE
    // for a newer version than the one held, DO_NOTHING otherwise.
    int compare(char* import_prod_name, char* import_version);
    // Reads the open file fd whole into file and validates it with jsParse within the parse
    // budget; filename names it in messages. 0, or -1 when it cannot be read, is larger
    // than the largest product file or is no valid product file.
    int readJsonFile(int fd, const char* filename, ProductFile& file);
    // The "delete" command: removes the product of table row index (0-based: the client's
    // ID less one), its list entry, row and held copies, and every other menu copy of it,
    // then writes the history file. 0, or -1 when index is no row or its product is not
    // in the list.
    int delete_json(int index);
    // One entry of the menu directory at start: a valid held copy is listed (of two copies
    // of one product, the newer) and copied to the push directory. listed_elsewhere maps
    // each product listed so far from a file other than its held file name to that file.
    void recover_entry(int menu_fd, const char* entry_name, std::map<std::string, std::string>& listed_elsewhere);

    // Product list and table (product_table.cpp)
    // Writes the history file and its gzip copy from the table, whether it changed or not.
    void refresh_table();
    // Enters DO_ADD, DO_REPLACE or DO_DELETE of a product into the product list and mirrors
    // it in the table (any other req does nothing). Writes no file.
    void update_list(int req, char* prod_name, char* version, int fsize);
    // The status of table slot (a 0-based row) in three lines, into the caller's 200 bytes.
    void getListStatus(int slot, char* buffer);
    // One change of the table: DO_ADD appends the product's row, DO_REPLACE moves it to
    // the end with version, DO_DELETE removes it (the rows behind move up); a name without
    // a row changes nothing. The caller writes the history file when its operation ends;
    // any other req writes it as it is.
    void modifyTabrixTable(int req, char* prod_name, char* version);
    // Builds the empty table and writes it (init).
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
