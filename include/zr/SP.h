// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <atomic>
#include <cstddef>
#include <utility>

#include "zr/ZrApi.h"

// Intrusive counted handles: the count lives in the object (SPEnabled), so a raw
// pointer that is already held elsewhere can be wrapped again safely.
class ZR_API SPEnabled {
 public:
  SPEnabled() = default;
  SPEnabled(const SPEnabled&) : m_refs(0) {}
  SPEnabled& operator=(const SPEnabled&) { return *this; }
  virtual ~SPEnabled();

  void addRef() const noexcept { m_refs.fetch_add(1, std::memory_order_relaxed); }
  // True when this was the last reference.
  bool release() const noexcept { return m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1; }
  long useCount() const noexcept { return m_refs.load(std::memory_order_relaxed); }

 private:
  mutable std::atomic<long> m_refs{0};
};

class ZR_API SPBase {
 public:
  SPBase() noexcept = default;
  SPBase(const SPBase& other) noexcept { assign(other.m_p); }
  // Spelled out rather than std::exchange: agents may build these headers as C++11.
  SPBase(SPBase&& other) noexcept : m_p(other.m_p) { other.m_p = nullptr; }
  SPBase& operator=(const SPBase& other) noexcept {
    assign(other.m_p);
    return *this;
  }
  SPBase& operator=(SPBase&& other) noexcept {
    if (this != &other) {
      reset();
      m_p = other.m_p;
      other.m_p = nullptr;
    }
    return *this;
  }
  ~SPBase() { reset(); }

  void assign(const SPBase& other) noexcept { assign(other.m_p); }
  void assign(SPEnabled* p) noexcept;
  SPEnabled* get() const noexcept { return m_p; }
  void reset() noexcept { assign(nullptr); }

 private:
  SPEnabled* m_p = nullptr;
};

template <class T>
class SP : public SPBase {
 public:
  SP() noexcept = default;
  explicit SP(T* p) noexcept { assign(p); }

  T* get() const noexcept { return static_cast<T*>(SPBase::get()); }
  T* operator->() const noexcept { return get(); }
  T& operator*() const noexcept { return *get(); }
  explicit operator bool() const noexcept { return get() != nullptr; }
  bool operator==(const SP& o) const noexcept { return get() == o.get(); }
  bool operator!=(const SP& o) const noexcept { return get() != o.get(); }
};

template <class T, class... Args>
SP<T> MakeSP(Args&&... args) {
  return SP<T>(new T(std::forward<Args>(args)...));
}
