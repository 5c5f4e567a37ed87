#include "core/Settings.h"

#include "core/MAutoPtr.h"
#include "core/MVarArray.h"

#include <new>

namespace {

// Constant-initialised, so the tree is usable before dynamic initialisation and outlives every
// static object built at run time.
MAutoPtr<MVarArray> g_settings;

} // namespace

MVarArray* GetSettings(bool create) {
    MVarArray* root = g_settings.Get();
    if (root || !create) return root;
    root = new (std::nothrow) MVarArray;
    g_settings.Reset(root);
    return root;
}

void ShutdownSettings() {
    g_settings.Reset(nullptr);
}
