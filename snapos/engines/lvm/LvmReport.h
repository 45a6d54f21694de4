// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "zr/ZrApi.h"

namespace FlrSnapOS {
// One row of `lvs --reportformat json --units b --nosuffix -o <LvmReport::kFields>`.
struct ZR_API LvRow {
  std::string name, vg, dmPath, attr, origin, pool, uuid;
  std::string layout;  // lv_layout ("cache,cachevol"), when the report was asked for it
  uint64_t size = 0, vgFree = 0, vgExtentSize = 0;
  int kernelMajor = -1, kernelMinor = -1;  // -1 when not active
  bool snapshotInvalid = false;
  // How full a snapshot's copy-on-write space, or a thin pool's data and
  // metadata, are; -1 where lvs gives none.
  double dataPercent = -1, metadataPercent = -1;

  char type() const { return attr.empty() ? '?' : attr[0]; }
  bool hidden() const { return !name.empty() && name[0] == '['; }
  bool isThickSnapshot() const { return type() == 's' || type() == 'S'; }
  bool isThinSnapshot() const { return type() == 'V' && !origin.empty(); }
  bool isSnapshot() const { return isThickSnapshot() || isThinSnapshot(); }
  bool isThin() const { return type() == 'V'; }
  // A volume we may snapshot: thick or thin, not a pool, a thick snapshot, a hidden
  // part or a thin snapshot of the snapshot manager.
  bool canBeSnapshotted() const;
  bool active() const { return kernelMajor >= 0 && kernelMinor >= 0; }
  dev_t device() const;
  std::string id() const { return vg + "/" + name; }
};

namespace LvmReport {
// The fields requested from lvs, in one -o argument.
extern ZR_API const char kFields[];
// lvs's stdout without the lines lvm printed into the middle of its JSON report
// ("Retrying metadata scan."); those are added to other, without leading blanks.
ZR_API std::string ReportLines(const std::string& out, std::vector<std::string>& other);
// Parses lvs's JSON report. Throws ZrException naming what is wrong.
ZR_API std::vector<LvRow> Parse(const std::string& json);
// The device-mapper name of an LV: "-" inside the VG and LV names doubled.
ZR_API std::string DmName(const std::string& vg, const std::string& lv);
// The VG and LV names that DmName joined; false for any other name.
ZR_API bool SplitDmName(const std::string& dmName, std::string& vg, std::string& lv);
}  // namespace LvmReport
}  // namespace FlrSnapOS
