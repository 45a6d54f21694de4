// SPDX-License-Identifier: Apache-2.0
#include "GpfsSnapManagerPrivate.h"
#include "Kestrel/KestrelNativeSnapManagerPrivate.h"

CKestrelNativeSnapManager* GetNativeSnapManager(std::string kind) {
  if (kind == "gpfs") return new CGpfsSnapManagerPrivate();
  if (kind == "native") return new CKestrelNativeSnapManagerPrivate();
  return nullptr;
}

CKestrelNativeSnapManager* GetKestrelNativeSnapManager() { return new CKestrelNativeSnapManagerPrivate(); }

CKestrelNativeSnapManager* GetGpfsSnapManager() { return new CGpfsSnapManagerPrivate(); }
