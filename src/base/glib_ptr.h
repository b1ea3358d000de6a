// Ownership of GLib and GObject values in C++ types, so every reference has exactly one owner and
// is released on every way out of a scope.
#pragma once

#include <glib-object.h>

#include <memory>

namespace velto {

struct GObjectUnref {
  void operator()(gpointer object) const noexcept { g_object_unref(object); }
};

// An owned GObject reference.
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// Adopts a reference the caller already owns (a "transfer full" return value).
template <typename T>
GObjectPtr<T> take_ref(T* object) noexcept {
  return GObjectPtr<T>{object};
}

// Adds a reference of its own to an object that somebody else owns.
template <typename T>
GObjectPtr<T> make_ref(T* object) noexcept {
  if (object != nullptr) g_object_ref(object);
  return GObjectPtr<T>{object};
}

struct GErrorFree {
  void operator()(GError* error) const noexcept { g_error_free(error); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

// Collects a GError out-parameter into an owner: `call(..., ErrorOut{error})`.
class ErrorOut {
 public:
  explicit ErrorOut(GErrorPtr& owner) noexcept : owner_(owner) {}
  ErrorOut(const ErrorOut&) = delete;
  ErrorOut& operator=(const ErrorOut&) = delete;
  ~ErrorOut() { owner_.reset(raw_); }
  operator GError**() noexcept { return &raw_; }

 private:
  GErrorPtr& owner_;
  GError* raw_ = nullptr;
};

}  // namespace velto
