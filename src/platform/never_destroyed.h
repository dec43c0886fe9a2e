// SPDX-License-Identifier: MIT
// Storage for library-wide state that must outlive the process's static
// destructors. A host that loaded the library with dlopen and leaves with
// exit() runs them before the library's own unload, while the monitors may
// still run; state that the unload or a monitor touches therefore lives in
// storage whose destructor never destroys it. With a constexpr constructor
// the object is built before any code runs, so no load order can find it
// unmade either.
#pragma once

namespace zortcp {

template <typename T>
union NeverDestroyed {
  constexpr NeverDestroyed() : value() {}
  constexpr ~NeverDestroyed() {}  // value is left as it is, on purpose
  NeverDestroyed(const NeverDestroyed&) = delete;
  NeverDestroyed& operator=(const NeverDestroyed&) = delete;

  T& operator*() { return value; }
  T* operator->() { return &value; }

  T value;
};

}  // namespace zortcp
