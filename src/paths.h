// SPDX-License-Identifier: MIT
// Where Menuhold keeps its files, and the names it gives them.
#ifndef MENUHOLD_PATHS_H
#define MENUHOLD_PATHS_H

#include <cstring>
#include <string>

#include "file_io.h"
#include "protocol.h"

namespace paths {

constexpr const char* kSocket = protocol::kSocketPath;
constexpr const char* kMenuDir = "/tmp/json_menu";
constexpr const char* kPushDir = "/tmp/panel_push";
constexpr const char* kHistoryDir = "/tmp";
constexpr const char* kHistory = protocol::kHistoryPath;
constexpr const char* kHistoryName = "json_history.json";  // also the name in the gzip header
constexpr const char* kHistoryGz = "/tmp/json_history.gz";
constexpr const char* kHistoryGzName = "json_history.gz";
constexpr const char* kMarker = "0-panelpush_local";
// Held while a service runs; its directory must be the service's user's alone.
#ifndef MENUHOLD_LOCK_FILE
#define MENUHOLD_LOCK_FILE "/var/run/menuhold.lock"
#endif
constexpr const char* kLockFile = MENUHOLD_LOCK_FILE;

// "0-panelpush_local_%s_0.0.0.json": one name per product, whatever its version.
inline std::string held_file_name(const std::string& product_name)
{
    return "0-panelpush_local_" + product_name + "_0.0.0.json";
}

inline bool names_held_file(const char* entry_name) { return std::strstr(entry_name, kMarker) != nullptr; }

}  // namespace paths

// The directories the service writes into, each opened once for the life of the process.
// The menu and push directories are trusted only when they are the service's own.
struct ServiceDirectories {
    WorkDirectory menu{paths::kMenuDir, WorkDirectory::Trust::kOwnOnly};
    WorkDirectory push{paths::kPushDir, WorkDirectory::Trust::kOwnOnly};
    WorkDirectory history{paths::kHistoryDir, WorkDirectory::Trust::kAsIs};
};

inline ServiceDirectories& service_directories()
{
    static ServiceDirectories directories;
    return directories;
}

#endif
