// Windows code only: libgcrypt is linked into the program.
#include "corelib/platform/GcryptLibrary.h"

namespace KelvraCorelib::Platform {

const GcryptFunctions* gcryptFunctions()
{
    static const GcryptFunctions table {
        &::gcry_check_version, &::gcry_control,         &::gcry_randomize,      &::gcry_sexp_build,
        &::gcry_sexp_release,  &::gcry_sexp_find_token, &::gcry_sexp_nth_data,  &::gcry_mpi_ec_new,
        &::gcry_mpi_ec_get_mpi, &::gcry_mpi_get_opaque, &::gcry_mpi_release,    &::gcry_ctx_release,
        &::gcry_pk_sign,       &::gcry_pk_verify,       &::gcry_md_open,        &::gcry_md_close,
        &::gcry_md_write,      &::gcry_md_read,         &::gcry_md_get_algo_dlen,
    };
    return &table;
}

}  // namespace KelvraCorelib::Platform
