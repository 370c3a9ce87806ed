#pragma once

#include "Store.h"

#include <functional>
#include <string>

namespace slkserver {

struct MigrationCount {
    int users = 0;
    int copied = 0;       // uploads stored and checked in this run
    int alreadyThere = 0; // copied by an earlier run
    int missing = 0;      // rows whose file the source doesn't have
    uint64_t bytes = 0;
};

// Copies every user, token, upload and now-playing row of `from`, and every upload's file, to
// `to`. An upload's row is added only once its copy has been read back with the same size and
// SHA-256, so a run that stops can be run again: it goes on where it stopped. Nothing of `from`
// is changed. Thumbnails are not copied; they are made again when asked for.
bool migrate(Store& from, Store& to, const std::function<void(const std::string&)>& say,
             MigrationCount& count, std::string& error);

} // namespace slkserver
