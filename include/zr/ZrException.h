// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <exception>
#include <string>

#include "zr/ZrApi.h"

// Failure of the system below the managers. The message says what was run, on
// what, and why; errnoValue is kept apart so formatError can add its text.
class ZR_API ZrException : public std::exception {
 public:
  explicit ZrException(std::string message, int errnoValue = 0);
  ~ZrException() override;

  const char* getMessage() const noexcept { return m_message.c_str(); }
  int getErrno() const noexcept { return m_errno; }
  // The message, plus the system's error text when an errno was given.
  std::string formatError() const;
  const char* what() const noexcept override { return m_message.c_str(); }

 private:
  std::string m_message;
  int m_errno;
};

// "<what>: <strerror(err)>", the usual shape of a system failure text.
ZR_API std::string ZrErrnoText(const std::string& what, int err);
