// Product file store (Parts 3.1 to 3.5): reading and validating product files, their
// version order, the upload, the rebuild at start and the deletion, with the held copies.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "bounded.h"
#include "file_io.h"
#include "menuhold.h"
#include "paths.h"
#include "version.h"

namespace {

constexpr off_t kLargestProductFile = 16 * 1024 * 1024;  // DESIGN.md D4
constexpr size_t kLongestName = 59;
constexpr size_t kLongestVersion = 24;

}  // namespace

// ---------------------------------------------------------------- reading (Part 3.1)

// Opens a product file that is a regular file, without following a symbolic link and
// without blocking (DESIGN.md D4); -1 otherwise, reported as "cannot open". A sender that
// is not root must own the open file (D5). st receives the open file's status.
int Menuhold::open_product_file(const char* filename, struct stat& st, int* filesz)
{
    FileDescriptor fd;
    if (lstat(filename, &st) == 0 && S_ISREG(st.st_mode))
        fd.reset(open(filename, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    const bool opened = fd.valid() && fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode);
    const bool sender_owns = !c_uid_known || c_uid == 0 || (opened && st.st_uid == c_uid);
    if (!opened || !sender_owns) {
        debugf(debug, "%s(): cannot open %s\n", "readJsonFile", filename);
        if (filesz) *filesz = 0;
        return -1;
    }
    loaded.opened = true;
    loaded.mode = st.st_mode & 07777;
    return fd.release();
}

int Menuhold::readJsonFile(char* filename, char* prod_str, char* ver_str, int* filesz)
{
    loaded = LoadedFile{};
    struct stat st;
    FileDescriptor fp(open_product_file(filename, st, filesz));
    if (!fp.valid()) return -1;

    const int lSize = st.st_size > INT_MAX ? INT_MAX : static_cast<int>(st.st_size);
    debugf(debug, "Length of jsonfile %s:  %d\n", filename, lSize);
    if (filesz) *filesz = lSize;
    if (st.st_size > kLargestProductFile) {
        debugf(debug, "%s(): %s is larger than 16 MiB\n", "readJsonFile", filename);
        return -1;
    }

    std::string& new_file_buffer = loaded.bytes;
    try {
        new_file_buffer.resize(static_cast<size_t>(lSize));
    } catch (const std::bad_alloc&) {
        syslog(LOG_ERR, "%s(): can not allocate buffer for storing contents from file\n", "readJsonFile");
        return -1;
    }
    size_t count = 0;
    while (count < new_file_buffer.size()) {
        const ssize_t n = read(fp.get(), &new_file_buffer[count], new_file_buffer.size() - count);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            debug_line(debug, "\nReading data error");
            release_loaded();
            return -1;
        }
        if (n == 0) break;  // the end came early: the bytes that did arrive are used
        count += static_cast<size_t>(n);
    }
    new_file_buffer.resize(count);

    debugf(debug, "[%s]Now parse json file %s\n", "readJsonFile", filename);
    const int error = jsParse(&new_file_buffer[0], prod_str, ver_str);
    if (error < 0) {
        debugf(debug, "Parse [%s] failed\n", filename);
        release_loaded();
    }
    return error;
}

int Menuhold::jsParse(char* content, char* prod, char* version)
{
    CJsonPtr document(cJSON_Parse(content));
    if (!document) {
        debug_line(debug, "Parse file failed");
        return -1;
    }
    debugf(debug, "[%s]Parse file success\n", "jsParse");

    const cJSON* info = cJSON_GetObjectItem(document.get(), "product info");
    if (!info) {
        debug_line(debug, "No product info");
        return -1;
    }
    const cJSON* name = cJSON_GetObjectItem(info, "product name");
    if (!cJSON_IsString(name) || !name->valuestring) {
        debug_line(debug, "No product name");
        return -1;
    }
    // Never shortened, so that two long names cannot become one product (D4).
    if (strlen(name->valuestring) > kLongestName || strchr(name->valuestring, '/')) {
        debug_line(debug, "Invalid product name");
        return -1;
    }
    copy_bounded(prod, kLongestName + 1, name->valuestring);

    const cJSON* file_version = cJSON_GetObjectItem(info, "file version");
    if (!cJSON_IsString(file_version) || !file_version->valuestring) {
        debug_line(debug, "No file version");
        return -1;
    }
    if (strlen(file_version->valuestring) > kLongestVersion) {
        debug_line(debug, "Invalid file version");
        return -1;
    }
    copy_bounded(version, kLongestVersion + 1, file_version->valuestring);
    document.reset();

    char tmp_file_version[25];
    std::memset(tmp_file_version, 0, sizeof tmp_file_version);
    copy_bounded(tmp_file_version, sizeof tmp_file_version, version);
    debugf(debug, "Now verify file version: %s\n", version);
    debugf(debug, "The first char is: %c\n", version[0]);
    if (!file_version_is_valid(tmp_file_version)) {
        debug_line(debug, "Invalid file version");
        return -1;
    }
    debug_line(debug, "Verify success");
    return 0;
}

// Frees the bytes; whether a file was opened stays known to the caller.
void Menuhold::release_loaded()
{
    std::string().swap(loaded.bytes);
}

// ---------------------------------------------------------------- version order (Part 3.2)

int Menuhold::compare(char* import_prod_name, char* import_version)
{
    char tmp_f2_version[25];
    std::memset(tmp_f2_version, 0, sizeof tmp_f2_version);
    copy_bounded(tmp_f2_version, sizeof tmp_f2_version, import_version);

    const std::string tmp_str_prod(import_prod_name);
    const auto found = Json_list.find(tmp_str_prod);
    if (found == Json_list.end()) {
        debug_line(debug, "No matched json file in memory, maybe a new product");
        return DO_ADD;
    }
    char found_version[25];
    char tmp_f1_version[25];
    std::memset(found_version, 0, sizeof found_version);
    copy_bounded(found_version, sizeof found_version, found->second.version);
    std::memset(tmp_f1_version, 0, sizeof tmp_f1_version);
    copy_bounded(tmp_f1_version, sizeof tmp_f1_version, found_version);
    debugf(debug, "Compare file version old(%s) vs new(%s)\n", found_version, tmp_f2_version);

    FieldPairVisitor show_pair;
    if (debug_on(debug)) {
        // A field that ran out prints as glibc prints a null string.
        show_pair = [this](const std::string* held, const std::string* uploaded) {
            debugf(debug, "Compare  [%s] vs [%s]\n", held ? held->c_str() : "(null)",
                   uploaded ? uploaded->c_str() : "(null)");
        };
    }
    if (version_order(tmp_f1_version, tmp_f2_version, show_pair) < 0) {
        debug_line(debug, "New version");
        return DO_REPLACE;
    }
    return DO_NOTHING;
}

// ---------------------------------------------------------------- upload (Part 3.3)

// A sender that is not root may only hand over a file of its own (DESIGN.md D5).
bool Menuhold::sender_may_take(const char* path)
{
    struct stat st;
    if (!c_uid_known || c_uid == 0 || lstat(path, &st) != 0 || st.st_uid == c_uid) return true;
    syslog(LOG_ERR, "%s(): refused %s from uid %u: not the owner of the file\n", "add", path,
           static_cast<unsigned>(c_uid));
    return false;
}

// Writes the validated bytes to one held copy; a failure is logged (DESIGN.md D1).
bool Menuhold::store_copy(const std::string& path, bool durable)
{
    const int error = write_file_atomically(path, loaded.bytes.data(), loaded.bytes.size(),
                                            mode_for_rewrite(path, loaded.mode), durable);
    if (error) syslog(LOG_ERR, "cannot write %s: %s\n", path.c_str(), strerror(error));
    return error == 0;
}

int Menuhold::add(char* filename)
{
    char product_name[60];
    char version[25];
    int lSize = 0;
    std::memset(product_name, 0, sizeof product_name);
    std::memset(version, 0, sizeof version);
    if (!sender_may_take(filename)) return -1;

    const int error = readJsonFile(filename, product_name, version, &lSize);
    if (error != 0) {
        syslog(LOG_ERR, "%s(): Cannot read json file %s\n", "add", filename);
        if (loaded.opened) remove(filename);  // never a link, a FIFO or a device (D4)
        release_loaded();
        return error;
    }
    const std::string fname = paths::held_file_name(product_name);
    debugf(debug, "[%s]\nProduct Name[%s]\nFile version [%s]\n", filename, product_name, version);

    {
        RefreshBatch one_history_write(*this);
        switch (compare(product_name, version)) {
        case DO_ADD:
            debugf(debug, "Product [%s] version [%s] will be added\n", product_name, version);
            debug_line(debug, "New file !");
            update_list(DO_ADD, product_name, version, lSize);
            break;
        case DO_REPLACE:
            debugf(debug, "Replace old file, product[%s]\n", product_name);
            update_list(DO_REPLACE, product_name, version, lSize);
            break;
        case DO_NOTHING:
            debug_line(debug, "Not a new file");
            remove(filename);
            release_loaded();
            return 0;
        default:
            syslog(LOG_INFO, "[%s][%d] Invalid compare result\n", "add", __LINE__);
            remove(filename);
            release_loaded();
            return 1;
        }
        refresh_table();
    }

    // The copies are made in-process; the debug lines name the equivalent commands.
    const std::string push_path = paths::push_copy_path(fname);
    debugf(debug, "run cp -f %s %s\n", filename, push_path.c_str());
    store_copy(push_path, false);
    const std::string menu_path = paths::menu_copy_path(fname);
    debugf(debug, "run cp -f %s %s\n", filename, menu_path.c_str());
    store_copy(menu_path, true);  // the store that survives a restart

    remove(filename);
    release_loaded();
    return 0;
}

// ---------------------------------------------------------------- rebuild at start (Part 3.4)

int Menuhold::recovery(bool clear_bad_json)
{
    (void)clear_bad_json;  // the scan is the same in the clean-up mode
    if (initialized == 0) {
        puts("Menuhold is not init yet");
        return -81;
    }
    syslog(LOG_INFO, "%s():Recovering json files from NV\n", "recovery");
    remove_temporaries(paths::kMenuDir);

    RefreshBatch one_history_write(*this);
    {
        Directory d(paths::kMenuDir);
        std::map<std::string, std::string> listed_files;
        while (const char* name = d.next_name()) recover_entry(name, listed_files);
    }
    refresh_table();
    return 0;
}

// One entry of the menu directory. listed_files maps each listed product to the name
// of the file it was listed from, so that duplicates are settled as D8 says.
void Menuhold::recover_entry(const char* entry_name, std::map<std::string, std::string>& listed_files)
{
    debugf(debug, "%s(): %s\n", "recovery", entry_name);
    if (!paths::names_held_file(entry_name)) return;

    std::string filename = std::string(paths::kMenuDir) + "/" + entry_name;
    char product_name[60];
    char version[25];
    int file_size = 0;
    std::memset(product_name, 0, sizeof product_name);
    std::memset(version, 0, sizeof version);
    if (readJsonFile(&filename[0], product_name, version, &file_size) != 0) {
        syslog(LOG_ERR, "%s():cannot read file %s\n", "recovery", entry_name);
        return;
    }

    const auto listed = listed_files.find(product_name);
    if (listed == listed_files.end()) {
        update_list(DO_ADD, product_name, version, file_size);
        listed_files.emplace(product_name, entry_name);
    } else if (version_order(Json_list[product_name].version, version) < 0) {
        syslog(LOG_ERR, "%s():duplicate product %s in %s, newer one in %s\n", "recovery", product_name,
               listed->second.c_str(), entry_name);
        remove(paths::push_copy_path(listed->second).c_str());
        update_list(DO_REPLACE, product_name, version, file_size);
        listed->second = entry_name;
    } else {
        syslog(LOG_ERR, "%s():duplicate product %s in %s, not listed\n", "recovery", product_name, entry_name);
        release_loaded();
        return;
    }
    store_copy(paths::push_copy_path(entry_name), false);
    release_loaded();
}

// ---------------------------------------------------------------- deletion (Part 3.5)

int Menuhold::delete_json(int index)
{
    if (index < 0 || static_cast<size_t>(index) >= table_rows.size()) {
        syslog(LOG_ERR, "%s():Invalid index[%d]\n", "delete_json", index);
        return -1;
    }
    const cJSON* del_object = table_rows[index];
    char prod[60];
    char version[25];
    std::memset(prod, 0, sizeof prod);
    copy_bounded(prod, sizeof prod, row_field(del_object, 1));
    std::memset(version, 0, sizeof version);
    copy_bounded(version, sizeof version, row_field(del_object, 2));
    debugf(debug, "[%s][%d]Delete product[%s]\n", "delete_json", __LINE__, prod);

    const std::string tmp_str_prod(prod);
    debugf(debug, "[%s][%d]Delete product string[%s]\n", "delete_json", __LINE__, tmp_str_prod.c_str());
    const auto found = Json_list.find(tmp_str_prod);
    if (found == Json_list.end()) {
        debugf(debug, "Could not find product [%s] in list\n", prod);
        syslog(LOG_ERR, "Strange: cannot find product %s on the Json List\n", prod);
        return -1;
    }

    RefreshBatch one_history_write(*this);
    Json_list.erase(found);
    modifyTabrixTable(DO_DELETE, prod, version);
    const std::string fname = paths::held_file_name(prod);
    remove(paths::push_copy_path(fname).c_str());
    remove(paths::menu_copy_path(fname).c_str());
    refresh_table();
    return 0;
}
