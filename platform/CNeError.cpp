// SPDX-License-Identifier: Apache-2.0
#include "zr/CNeError.h"

#include <boost/make_shared.hpp>

#include "zr/FXErrorUtil.h"

CNeError CNeError::Make(FXErrorDomain domain, int code, const std::string& message, const FXCodeLocation& where) {
  CNeError e;
  e.m_status = -1;
  e.m_d = boost::make_shared<FXErrorPrivate>();
  e.m_d->domain = domain;
  e.m_d->code = code;
  e.m_d->message = message;
  e.m_d->trail.push_back(where);
  return e;
}

int CNeError::Code() const { return m_d ? m_d->code : 0; }
FXErrorDomain CNeError::Domain() const { return m_d ? m_d->domain : FXErrorDomain::None; }
std::string CNeError::Message() const { return m_d ? m_d->message : std::string(); }
std::vector<FXCodeLocation> CNeError::Trail() const { return m_d ? m_d->trail : std::vector<FXCodeLocation>(); }

CNeError& CNeError::Push(const FXCodeLocation& where) {
  if (!m_d) m_d = boost::make_shared<FXErrorPrivate>();
  if (m_d.use_count() > 1) m_d = boost::make_shared<FXErrorPrivate>(*m_d);
  m_d->trail.push_back(where);
  return *this;
}

std::string CNeError::ToString() const {
  if (!IsError()) return "success";
  std::string text = m_d->message;
  text += m_d->domain == FXErrorDomain::Win32 ? " (win32 error " : " (errno ";
  text += std::to_string(m_d->code) + ")";
  if (!m_d->trail.empty()) text += " at " + m_d->trail.front().file + ":" + std::to_string(m_d->trail.front().line);
  return text;
}

namespace FXErrorUtil {
CNeError ErrorErrNo(const FXCodeLocation& where, int code, const std::string& message) {
  return CNeError::Make(FXErrorDomain::ErrNo, code, message, where);
}
CNeError ErrorWin32(const FXCodeLocation& where, int code, const std::string& message) {
  return CNeError::Make(FXErrorDomain::Win32, code, message, where);
}
}  // namespace FXErrorUtil
