// Table B and Table D from the WMO BUFR4 tables in their CSV form.
#pragma once

#include <filesystem>

#include "../error.hpp"
#include "table_set.hpp"

namespace morvane {

[[nodiscard]] Result<TableSet> from_bufr4_45(const std::filesystem::path& dir);

} // namespace morvane
