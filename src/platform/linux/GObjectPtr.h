#pragma once

#include <glib-object.h>
#include <glib.h>

#include <memory>

namespace glimwick::os {

struct GObjectUnref {
    void operator()(gpointer object) const {
        if (object != nullptr) {
            g_object_unref(object);
        }
    }
};

// Owns one reference to a GObject.
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

struct GFree {
    void operator()(gpointer p) const { g_free(p); }
};
using GCharPtr = std::unique_ptr<gchar, GFree>;

struct GStrvFree {
    void operator()(gchar** strv) const { g_strfreev(strv); }
};
using GStrvPtr = std::unique_ptr<gchar*, GStrvFree>;

struct GVariantUnref {
    void operator()(GVariant* v) const { g_variant_unref(v); }
};
using GVariantPtr = std::unique_ptr<GVariant, GVariantUnref>;

struct GSourceUnref {
    void operator()(GSource* s) const { g_source_unref(s); }
};
using GSourcePtr = std::unique_ptr<GSource, GSourceUnref>;

}  // namespace glimwick::os
