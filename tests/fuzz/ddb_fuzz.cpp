// Diagnosis database bytes: imported as a file (through a memory file descriptor, so the real
// file path is exercised without touching the disk), matched against values of every kind, and
// the proposal text built.
#include "analysis/DiagnoseManager.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

struct Harness {
    Harness() {
        fd = ::memfd_create("ddb", 0);
        if (fd < 0) std::abort();
        path = MString(std::string("/proc/self/fd/") + std::to_string(fd));
        m.SetFolders({MString(), MString()});
        // Current values of every kind a record can give: integers, doubles, texts, an empty age.
        MVarArray& cur = m.CurrentValues();
        for (int i = 0; i < DiagnoseManager::kSchemaSize; ++i) {
            MVarArray& v = cur.Item(MVariant(DiagnoseManager::kSchemaNames[i]));
            switch (i % 4) {
                case 0:
                    v.Value().Assign(MVariant(int32_t(i * 13)));
                    break;
                case 1:
                    v.Value().Assign(MVariant(0.37 * i));
                    break;
                case 2:
                    v.Value().Assign(MVariant(u"Рост пациента?"));
                    break;
                default:
                    v.Value().Assign(MVariant(u""));
                    break;
            }
        }
    }
    int fd = -1;
    MString path;
    DiagnoseManager m;
};

} // namespace

// Each input allocates many small nodes; a smaller quarantine than the default keeps the
// allocator from touching fresh pages on every run while still catching use after free within
// a run.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=16";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness h;
    if (::ftruncate(h.fd, 0) != 0) std::abort();
    if (size > 0 && ::pwrite(h.fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
    h.m.Database().Clear();
    if (!h.m.Import(h.path)) std::abort(); // the file exists
    const MString text = h.m.Diagnose();
    if (text.IsEmpty()) std::abort(); // a proposal or the no-result message
    return 0;
}
