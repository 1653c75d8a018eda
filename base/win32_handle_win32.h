// For the Windows side only: the one owner of a Win32 handle (a kernel HANDLE, a service or
// service manager handle, a registry key, an event source, a loaded module, a LocalAlloc'd buffer
// the system handed over). It closes what it holds with `Close` when it goes or is reset, is moved
// and never copied, and holds nothing when empty: a null value, and for kernel HANDLEs also
// INVALID_HANDLE_VALUE, which CreateFileW and its like return for "none".
//
// Where the result of closing matters (a file whose last write the close may still fail), take
// the value out with release() and close it by hand.
#pragma once

#include <windows.h>

#include <type_traits>
#include <utility>

namespace quirada {

template <class T, auto Close>
class Win32Handle {
 public:
  Win32Handle() = default;
  explicit Win32Handle(T value) : value_(value) {}
  ~Win32Handle() { reset(); }
  Win32Handle(Win32Handle&& other) noexcept : value_(other.release()) {}
  Win32Handle& operator=(Win32Handle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  Win32Handle(const Win32Handle&) = delete;
  Win32Handle& operator=(const Win32Handle&) = delete;

  T get() const { return value_; }
  explicit operator bool() const { return Held(value_); }

  // Gives the value up without closing it.
  T release() { return std::exchange(value_, T{}); }
  // Closes what is held and holds `value` instead.
  void reset(T value = T{}) {
    const T old = std::exchange(value_, value);
    if (Held(old)) Close(old);
  }
  // For a call that hands the handle over through an out parameter: closes what is held and gives
  // the place to write the new value.
  T* put() {
    reset();
    return &value_;
  }

 private:
  static bool Held(T value) {
    if constexpr (std::is_same_v<T, HANDLE>) return value != nullptr && value != INVALID_HANDLE_VALUE;
    else return value != T{};
  }

  T value_{};
};

// Kernel objects: files, tokens, processes, threads, events.
using UniqueHandle = Win32Handle<HANDLE, &CloseHandle>;
// The service control manager and its services.
using UniqueServiceHandle = Win32Handle<SC_HANDLE, &CloseServiceHandle>;
// A registry key.
using UniqueKey = Win32Handle<HKEY, &RegCloseKey>;
// An event log source (RegisterEventSourceW).
using UniqueEventSource = Win32Handle<HANDLE, &DeregisterEventSource>;
// A module loaded by LoadLibraryExW.
using UniqueModule = Win32Handle<HMODULE, &FreeLibrary>;
// A buffer the system allocated with LocalAlloc for the caller to free (a SID, a security
// descriptor, a message text), of the pointer type the call gives.
template <class T>
using LocalBuffer = Win32Handle<T, &LocalFree>;

}  // namespace quirada
