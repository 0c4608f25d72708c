// Owning pointers for GObjects: the reference is dropped when the pointer goes. Main thread.
#pragma once

#include <glib-object.h>
#include <memory>

namespace quillfern::gtk {

struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};

template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// Takes a new reference on object.
template <class T>
[[nodiscard]] GObjectPtr<T> retain(T* object) {
  return GObjectPtr<T>(static_cast<T*>(g_object_ref(object)));
}

// Adopts a reference the caller already owns, such as a new floating-free object.
template <class T>
[[nodiscard]] GObjectPtr<T> adopt(T* object) {
  return GObjectPtr<T>(object);
}

}  // namespace quillfern::gtk
