// SPDX-License-Identifier: Apache-2.0
#include "zr/SP.h"

SPEnabled::~SPEnabled() = default;

void SPBase::assign(SPEnabled* p) noexcept {
  if (p == m_p) return;
  if (p) p->addRef();
  SPEnabled* old = std::exchange(m_p, p);
  if (old && old->release()) delete old;
}
