// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <map>
#include <string>
#include <vector>

#include "zr/ZrApi.h"

namespace FlrSnapOS {
namespace GpfsY {
// One data row of a -Y listing: column name -> decoded value.
using Row = std::map<std::string, std::string>;

// Parses the machine-readable (-Y) output of a GPFS command. Columns are
// taken from the HEADER line by name, so new releases may add columns; rows
// with fewer trailing fields than the header leave those columns out, extra
// ones are ignored; lines before the first header are skipped. Values are
// percent-decoded. Throws ZrException for output without a header.
ZR_API std::vector<Row> Parse(const std::string& output, const std::string& command);
// Decodes every %XX.
ZR_API std::string PercentDecode(const std::string& text);
// A column's value, or fallback when the row lacks it.
ZR_API std::string Get(const Row& row, const std::string& column, const std::string& fallback = "");
}  // namespace GpfsY
}  // namespace FlrSnapOS
