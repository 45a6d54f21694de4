// SPDX-License-Identifier: Apache-2.0
#include "zr/ZrException.h"

#include <cstring>

ZrException::ZrException(std::string message, int errnoValue) : m_message(std::move(message)), m_errno(errnoValue) {}
ZrException::~ZrException() = default;

std::string ZrException::formatError() const {
  if (m_errno == 0) return m_message;
  return m_message + " (" + std::strerror(m_errno) + ")";
}

std::string ZrErrnoText(const std::string& what, int err) { return what + ": " + std::strerror(err); }
