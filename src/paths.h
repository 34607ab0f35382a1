// Fixed paths and names of Menuhold: Overview, Parts 1.1, 2.2, 3.3 and 4.2.
#ifndef MENUHOLD_PATHS_H
#define MENUHOLD_PATHS_H

#include <string>

#include "protocol.h"

namespace paths {

constexpr const char* kSocket = protocol::kSocketPath;
constexpr const char* kMenuDir = "/tmp/json_menu";
constexpr const char* kPushDir = "/tmp/panel_push";
constexpr const char* kHistory = protocol::kHistoryPath;
constexpr const char* kHistoryGz = "/tmp/json_history.gz";
constexpr const char* kHistoryBaseName = "json_history.json";  // the name in the gzip header
constexpr const char* kMarker = "0-panelpush_local";

// "0-panelpush_local_%s_0.0.0.json": one name per product, whatever its version.
inline std::string held_file_name(const std::string& product_name)
{
    return "0-panelpush_local_" + product_name + "_0.0.0.json";
}

// The push copy's path is "%s/%s" of the push directory and the name.
inline std::string push_copy_path(const std::string& file_name)
{
    return std::string(kPushDir) + "/" + file_name;
}

// The menu copy's path is "/tmp/json_menu/" with the name appended.
inline std::string menu_copy_path(const std::string& file_name)
{
    return std::string(kMenuDir) + "/" + file_name;
}

inline bool names_held_file(const char* entry_name)
{
    return std::string(entry_name).find(kMarker) != std::string::npos;
}

}  // namespace paths

#endif
