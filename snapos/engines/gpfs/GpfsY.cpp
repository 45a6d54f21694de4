// SPDX-License-Identifier: Apache-2.0
#include "engines/gpfs/GpfsY.h"

#include <cerrno>
#include <sstream>

#include "zr/FXString.h"
#include "zr/ZrException.h"

namespace FlrSnapOS {
namespace GpfsY {
namespace {
int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Positions 0..5 are command, reserved, HEADER or row type, version and two reserved fields.
const size_t kFirstColumn = 6;
}  // namespace

std::string PercentDecode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && Hex(text[i + 1]) >= 0 && Hex(text[i + 2]) >= 0) {
      out += static_cast<char>(Hex(text[i + 1]) * 16 + Hex(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string Get(const Row& row, const std::string& column, const std::string& fallback) {
  auto it = row.find(column);
  return it == row.end() ? fallback : it->second;
}

std::vector<Row> Parse(const std::string& output, const std::string& command) {
  std::vector<Row> rows;
  std::vector<std::string> header;
  std::istringstream in(output);
  const std::string prefix = command + ":";
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, prefix.size(), prefix) != 0) continue;  // junk before or between listings
    std::vector<std::string> fields;
    FXString::Split(line, ":", fields, 0);
    if (fields.size() > 2 && fields[2] == "HEADER") {
      header = fields;
      continue;
    }
    if (header.empty()) continue;
    Row row;
    for (size_t i = kFirstColumn; i < fields.size() && i < header.size(); ++i) {
      if (!header[i].empty()) row[header[i]] = PercentDecode(fields[i]);
    }
    rows.push_back(std::move(row));
  }
  if (header.empty()) {
    std::string first = output.substr(0, output.find('\n'));
    throw ZrException(command + " printed no -Y header" + (first.empty() ? std::string() : ": " + first), EPROTO);
  }
  return rows;
}
}  // namespace GpfsY
}  // namespace FlrSnapOS
