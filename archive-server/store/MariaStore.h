#pragma once

#include "ArchiveStore.h"

namespace vqarchive {

// Does not connect yet: an unreachable server shows in status().
std::unique_ptr<ArchiveStore> openMariaStore(const MysqlAddress& address);

} // namespace vqarchive
