// SPDX-License-Identifier: MIT
// Product file store: reading and validating product files, their version order, the
// upload, the rebuild at start and the deletion, with the held copies.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "file_io.h"
#include "menuhold.h"
#include "parse_arena.h"
#include "paths.h"
#include "printable.h"
#include "service_limits.h"
#include "version.h"

namespace {

constexpr size_t kLongestName = sizeof(ProdInfo_t::prod_name) - 1;
constexpr size_t kLongestVersion = sizeof(ProdInfo_t::version) - 1;

// Opens name in dir_fd for reading when it is a regular file, without following a
// symbolic link and without blocking (a FIFO or a device is never opened). st receives
// the open file's status.
FileDescriptor open_regular_file(int dir_fd, const char* name, struct stat& st)
{
    if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return FileDescriptor();
    FileDescriptor fd(openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return FileDescriptor();
    return fd;
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// An uploaded file, opened once: its directory and the file in it. The file whose owner
// is checked is the file that is read and the one that is removed, whatever happens to
// the path meanwhile (a renamed directory, a swapped symbolic link).
struct Upload {
    FileDescriptor dir;
    std::string name;
    FileDescriptor file;
    struct stat st{};

    explicit Upload(const char* path)
    {
        const char* slash = strrchr(path, '/');
        const std::string dir_path = !slash ? "." : slash == path ? "/" : std::string(path, slash);
        name = slash ? slash + 1 : path;
        dir.reset(open(dir_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.valid() && !name.empty()) file = open_regular_file(dir.get(), name.c_str(), st);
    }

    // Removes the upload, only while its name still names the file that was opened.
    void remove() const
    {
        struct stat now;
        if (fstatat(dir.get(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && same_file(now, st))
            unlinkat(dir.get(), name.c_str(), 0);
    }
};

// True when dir_fd is the menu or the push directory: an upload from there would be
// the service removing one of its own held copies.
bool is_a_store_directory(int dir_fd)
{
    struct stat st;
    if (fstat(dir_fd, &st) != 0) return false;
    for (WorkDirectory* store : {&service_directories().menu, &service_directories().push}) {
        struct stat held;
        const int fd = store->fd();
        if (fd >= 0 && fstat(fd, &held) == 0 && same_file(st, held)) return true;
    }
    return false;
}

// Writes one held copy; durable for the menu copy, the store that survives a restart.
void store_copy(WorkDirectory& dir, const std::string& name, const ProductFile& file, bool durable)
{
    const int fd = dir.fd();
    const struct iovec bytes = {const_cast<char*>(file.bytes.data()), file.bytes.size()};
    const int error = fd < 0 ? errno
                             : write_file_atomically(fd, name.c_str(), &bytes, 1,
                                                     mode_for_rewrite(fd, name.c_str(), file.mode), durable);
    if (error) syslog(LOG_ERR, "cannot write %s: %s\n", printable::escaped(dir.path_of(name)).c_str(), strerror(error));
}

// A sender that is not root may only hand over a file of its own.
bool sender_may_take(uid_t sender_uid, const struct stat& st) { return sender_uid == 0 || st.st_uid == sender_uid; }

}  // namespace

// ---------------------------------------------------------------- reading and validation

int Menuhold::readJsonFile(int fd, const char* filename, ProductFile& file)
{
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    file.mode = st.st_mode & 07777;
    const int lSize = st.st_size > INT_MAX ? INT_MAX : static_cast<int>(st.st_size);
    file.info.file_size = lSize;
    debugf(debug, "Length of jsonfile %s:  %d\n", filename, lSize);
    if (static_cast<unsigned long long>(st.st_size) > limits::kLargestProductFile) {
        debugf(debug, "%s(): %s is larger than %zu MiB\n", "readJsonFile", filename,
               limits::kLargestProductFile / limits::kMiB);
        return -1;
    }
    std::string& bytes = file.bytes;
    try {
        bytes.resize(static_cast<size_t>(lSize));
    } catch (const std::bad_alloc&) {
        syslog(LOG_ERR, "%s(): can not allocate buffer for storing contents from file\n", "readJsonFile");
        return -1;
    }
    size_t count = 0;
    while (count < bytes.size()) {
        const ssize_t n = read(fd, &bytes[count], bytes.size() - count);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            debug_line(debug, "\nReading data error");
            return -1;
        }
        if (n == 0) break;  // the end came early: the bytes that did arrive are used
        count += static_cast<size_t>(n);
    }
    bytes.resize(count);

    debugf(debug, "[%s]Now parse json file %s\n", "readJsonFile", filename);
    ParseArena arena(limits::parse_budget(Json_list.size(), bytes.size()));
    const int error = jsParse(&bytes[0], file.info.prod_name, file.info.version);
    if (arena.exhausted())
        syslog(LOG_ERR, "%s(): %s needs more memory than the parse budget\n", "readJsonFile",
               printable::escaped(filename).c_str());
    if (error < 0) debugf(debug, "Parse [%s] failed\n", filename);
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
    // Never shortened, so that two long names cannot become one product; a "/" would
    // make the held file name leave its directory.
    if (strlen(name->valuestring) > kLongestName || strchr(name->valuestring, '/')) {
        debug_line(debug, "Invalid product name");
        return -1;
    }
    strcpy(prod, name->valuestring);

    const cJSON* file_version = cJSON_GetObjectItem(info, "file version");
    if (!cJSON_IsString(file_version) || !file_version->valuestring) {
        debug_line(debug, "No file version");
        return -1;
    }
    if (strlen(file_version->valuestring) > kLongestVersion) {
        debug_line(debug, "Invalid file version");
        return -1;
    }
    strcpy(version, file_version->valuestring);
    document.reset();

    debugf(debug, "Now verify file version: %s\n", version);
    debugf(debug, "The first char is: %c\n", version[0]);
    if (!file_version_is_valid(version)) {
        debug_line(debug, "Invalid file version");
        return -1;
    }
    debug_line(debug, "Verify success");
    return 0;
}

// ---------------------------------------------------------------- version order

int Menuhold::compare(char* import_prod_name, char* import_version)
{
    const auto found = Json_list.find(import_prod_name);
    if (found == Json_list.end()) {
        debug_line(debug, "No matched json file in memory, maybe a new product");
        return DO_ADD;
    }
    const char* held_version = found->second.version;
    debugf(debug, "Compare file version old(%s) vs new(%s)\n", held_version, import_version);

    FieldPairVisitor show_pair;
    if (debug_on(debug)) {
        // A field that ran out prints as glibc prints a null string.
        show_pair = [this](const std::string* held, const std::string* uploaded) {
            debugf(debug, "Compare  [%s] vs [%s]\n", held ? held->c_str() : "(null)",
                   uploaded ? uploaded->c_str() : "(null)");
        };
    }
    if (version_order(held_version, import_version, show_pair) < 0) {
        debug_line(debug, "New version");
        return DO_REPLACE;
    }
    return DO_NOTHING;
}

// ---------------------------------------------------------------- upload

// Every allocation comes before the first change of the list, the table or a file, so
// that an upload that runs out of memory is refused with nothing changed.
int Menuhold::add(char* filename, uid_t sender_uid)
try {
    const Upload upload(filename);
    if (upload.dir.valid() && is_a_store_directory(upload.dir.get())) {
        syslog(LOG_ERR, "%s(): refused %s: inside a directory of held copies\n", "add",
               printable::escaped(filename).c_str());
        return -1;
    }
    if (upload.file.valid() && !sender_may_take(sender_uid, upload.st)) {
        syslog(LOG_ERR, "%s(): refused %s from uid %u: not the owner of the file\n", "add",
               printable::escaped(filename).c_str(), static_cast<unsigned>(sender_uid));
        return -1;
    }
    ProductFile file;
    const int error = upload.file.valid() ? readJsonFile(upload.file.get(), filename, file) : -1;
    if (!upload.file.valid()) debugf(debug, "%s(): cannot open %s\n", "readJsonFile", filename);
    if (error != 0) {
        syslog(LOG_ERR, "%s(): Cannot read json file %s\n", "add", printable::escaped(filename).c_str());
        if (upload.file.valid()) upload.remove();
        return error;
    }
    ProdInfo_t& info = file.info;
    const std::string held_name = paths::held_file_name(info.prod_name);
    debugf(debug, "[%s]\nProduct Name[%s]\nFile version [%s]\n", filename, info.prod_name, info.version);

    const int action = compare(info.prod_name, info.version);
    if (action == DO_ADD && Json_list.size() >= limits::kMostProducts) {
        syslog(LOG_ERR, "%s(): refused %s: %zu products are held, the most there may be\n", "add",
               printable::escaped(filename).c_str(), limits::kMostProducts);
        upload.remove();
        return -1;
    }
    switch (action) {
    case DO_ADD:
        debugf(debug, "Product [%s] version [%s] will be added\n", info.prod_name, info.version);
        debug_line(debug, "New file !");
        update_list(DO_ADD, info.prod_name, info.version, info.file_size);
        break;
    case DO_REPLACE:
        debugf(debug, "Replace old file, product[%s]\n", info.prod_name);
        update_list(DO_REPLACE, info.prod_name, info.version, info.file_size);
        break;
    default:
        debug_line(debug, "Not a new file");
        upload.remove();
        return 0;
    }
    refresh_table();  // the history file is written before the held copies

    // The copies are made in-process; the debug lines name the equivalent commands.
    debugf(debug, "run cp -f %s %s/%s\n", filename, paths::kPushDir, held_name.c_str());
    debugf(debug, "run cp -f %s %s/%s\n", filename, paths::kMenuDir, held_name.c_str());
    store_copy(service_directories().push, held_name, file, false);
    store_copy(service_directories().menu, held_name, file, true);
    upload.remove();
    return 0;
} catch (const std::bad_alloc&) {
    syslog(LOG_ERR, "%s(): no memory to take an upload\n", "add");  // nothing more: a name's escape allocates
    return -1;
}

// ---------------------------------------------------------------- rebuild at start

int Menuhold::recovery(bool clear_bad_json)
{
    (void)clear_bad_json;  // the scan is the same in the clean-up mode
    if (initialized == 0) {
        puts("Menuhold is not init yet");
        return -81;
    }
    syslog(LOG_INFO, "%s():Recovering json files from NV\n", "recovery");
    const int menu_fd = service_directories().menu.fd();
    remove_temporaries(menu_fd);

    {
        DirectoryListing listing(menu_fd);
        if (menu_fd >= 0 && listing.error())  // a menu directory that is there but cannot be read
            syslog(LOG_ERR, "%s(): cannot list %s: %s\n", "recovery", paths::kMenuDir, strerror(listing.error()));
        std::map<std::string, std::string> listed_elsewhere;
        while (const char* name = listing.next_name()) recover_entry(menu_fd, name, listed_elsewhere);
    }
    refresh_table();
    return 0;
}

// One entry of the menu directory. A product is listed from one file: of two copies the
// newer. listed_elsewhere maps a listed product to the file it was listed from when that
// is not its held file name, which is rare: the rebuild keeps nothing per product beside
// the list and the table, so that their memory is not left full of holes when it ends.
void Menuhold::recover_entry(int menu_fd, const char* entry_name, std::map<std::string, std::string>& listed_elsewhere)
{
    debugf(debug, "%s(): %s\n", "recovery", entry_name);
    if (!paths::names_held_file(entry_name)) return;

    const std::string filename = service_directories().menu.path_of(entry_name);
    struct stat st;
    const FileDescriptor fd = open_regular_file(menu_fd, entry_name, st);
    ProductFile file;
    if (!fd.valid()) debugf(debug, "%s(): cannot open %s\n", "readJsonFile", filename.c_str());
    if (!fd.valid() || readJsonFile(fd.get(), filename.c_str(), file) != 0) {
        syslog(LOG_ERR, "%s():cannot read file %s\n", "recovery", printable::escaped(entry_name).c_str());
        return;
    }
    ProdInfo_t& info = file.info;
    const std::string held_name = paths::held_file_name(info.prod_name);
    if (entry_name != held_name) other_menu_copies.emplace(info.prod_name, entry_name);
    const auto listed = Json_list.find(info.prod_name);
    if (listed == Json_list.end() && Json_list.size() >= limits::kMostProducts) {
        syslog(LOG_ERR, "%s():cannot list %s: %zu products are held, the most there may be\n", "recovery",
               printable::escaped(entry_name).c_str(), limits::kMostProducts);
        return;
    }
    if (listed == Json_list.end()) {
        update_list(DO_ADD, info.prod_name, info.version, info.file_size);
    } else if (version_order(listed->second.version, info.version) < 0) {
        const auto elsewhere = listed_elsewhere.find(info.prod_name);
        const std::string listed_name = elsewhere == listed_elsewhere.end() ? held_name : elsewhere->second;
        syslog(LOG_ERR, "%s():duplicate product %s in %s, newer one in %s\n", "recovery",
               printable::escaped(info.prod_name).c_str(), printable::escaped(listed_name).c_str(),
               printable::escaped(entry_name).c_str());
        unlinkat(service_directories().push.fd(), listed_name.c_str(), 0);
        update_list(DO_REPLACE, info.prod_name, info.version, info.file_size);
        if (elsewhere != listed_elsewhere.end()) listed_elsewhere.erase(elsewhere);
    } else {
        syslog(LOG_ERR, "%s():duplicate product %s in %s, not listed\n", "recovery",
               printable::escaped(info.prod_name).c_str(), printable::escaped(entry_name).c_str());
        return;
    }
    if (entry_name != held_name) listed_elsewhere[info.prod_name] = entry_name;
    store_copy(service_directories().push, entry_name, file, false);
}

// ---------------------------------------------------------------- deletion

// As add, every allocation comes first.
int Menuhold::delete_json(int index)
try {
    if (index < 0 || static_cast<size_t>(index) >= table.size()) {
        syslog(LOG_ERR, "%s():Invalid index[%d]\n", "delete_json", index);
        return -1;
    }
    char prod[sizeof(ProdInfo_t::prod_name)] = {};
    char version[sizeof(ProdInfo_t::version)] = {};
    strncpy(prod, table.name_at(index), sizeof prod - 1);
    strncpy(version, table.version_at(index), sizeof version - 1);
    debugf(debug, "[%s][%d]Delete product[%s]\n", "delete_json", __LINE__, prod);
    debugf(debug, "[%s][%d]Delete product string[%s]\n", "delete_json", __LINE__, prod);

    const std::string product(prod), held_name = paths::held_file_name(product);
    const auto found = Json_list.find(product);
    if (found == Json_list.end()) {
        debugf(debug, "Could not find product [%s] in list\n", prod);
        syslog(LOG_ERR, "Strange: cannot find product %s on the Json List\n", printable::escaped(prod).c_str());
        return -1;
    }

    Json_list.erase(found);
    modifyTabrixTable(DO_DELETE, prod, version);
    const int push_fd = service_directories().push.fd();
    const int menu_fd = service_directories().menu.fd();
    unlinkat(push_fd, held_name.c_str(), 0);
    unlinkat(menu_fd, held_name.c_str(), 0);
    const auto others = other_menu_copies.equal_range(product);
    for (auto it = others.first; it != others.second; ++it) {
        unlinkat(push_fd, it->second.c_str(), 0);
        unlinkat(menu_fd, it->second.c_str(), 0);
    }
    other_menu_copies.erase(others.first, others.second);
    refresh_table();
    return 0;
} catch (const std::bad_alloc&) {
    syslog(LOG_ERR, "%s(): no memory to delete row %d\n", "delete_json", index);
    return -1;
}
