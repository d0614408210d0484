#pragma once

#include "ArchiveStore.h"

namespace vqarchive {

// Throws StoreError when no archive file is there.
std::unique_ptr<ArchiveStore> openSqliteStore(const std::string& path);

} // namespace vqarchive
