// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <nlohmann/json.hpp>
#include <string>

#include "zrsnap/StatusReport.h"

// zrsnap status --json: the record file, the job that holds it, each entry with
// what is true of its snapshot now, and the snapshots that no entry names.
nlohmann::json StatusJson(const Options& o, const StatusReport& report);
// The same document when status could not find out: the record and why.
nlohmann::json StatusErrorJson(const Options& o, const std::string& error);
