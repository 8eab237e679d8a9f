// POSIX code only: libgcrypt loaded when the seal first needs it.
#include "corelib/platform/GcryptLibrary.h"

#include <mutex>

#include <dlfcn.h>

namespace KelvraCorelib::Platform {

namespace {

// The library's name with the interface version the build's header describes.
constexpr const char* libraryName = "libgcrypt.so.20";

template <class Function>
bool resolve(void* library, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(dlsym(library, name));
    return function != nullptr;
}

bool load(GcryptFunctions& table)
{
    // Never unloaded: the library keeps state for the rest of the process.
    void* library = dlopen(libraryName, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        return false;
    }
#define TRAWLEX_RESOLVE(name) resolve(library, #name, table.name)
    return TRAWLEX_RESOLVE(gcry_check_version) && TRAWLEX_RESOLVE(gcry_control) && TRAWLEX_RESOLVE(gcry_randomize) &&
           TRAWLEX_RESOLVE(gcry_sexp_build) && TRAWLEX_RESOLVE(gcry_sexp_release) &&
           TRAWLEX_RESOLVE(gcry_sexp_find_token) && TRAWLEX_RESOLVE(gcry_sexp_nth_data) &&
           TRAWLEX_RESOLVE(gcry_mpi_ec_new) && TRAWLEX_RESOLVE(gcry_mpi_ec_get_mpi) &&
           TRAWLEX_RESOLVE(gcry_mpi_get_opaque) && TRAWLEX_RESOLVE(gcry_mpi_release) &&
           TRAWLEX_RESOLVE(gcry_ctx_release) && TRAWLEX_RESOLVE(gcry_pk_sign) && TRAWLEX_RESOLVE(gcry_pk_verify) &&
           TRAWLEX_RESOLVE(gcry_md_open) && TRAWLEX_RESOLVE(gcry_md_close) && TRAWLEX_RESOLVE(gcry_md_write) &&
           TRAWLEX_RESOLVE(gcry_md_read) && TRAWLEX_RESOLVE(gcry_md_get_algo_dlen);
#undef TRAWLEX_RESOLVE
}

}  // namespace

const GcryptFunctions* gcryptFunctions()
{
    static GcryptFunctions table {};
    static bool loaded = false;
    static std::once_flag once;
    std::call_once(once, [] { loaded = load(table); });
    return loaded ? &table : nullptr;
}

}  // namespace KelvraCorelib::Platform
