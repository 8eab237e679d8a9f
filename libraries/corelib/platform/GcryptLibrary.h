#pragma once
// The functions of libgcrypt that the seal uses, reached through one table. On POSIX the shared
// library is loaded on first use, so that a run that seals nothing never loads or starts it;
// on Windows it is linked into the program. Each member has the name and type of the
// library's function:
//
//   const GcryptFunctions* library = gcryptFunctions();
//   if (library != nullptr) library->gcry_randomize(bytes, 32, GCRY_STRONG_RANDOM);

#include <gcrypt.h>

namespace KelvraCorelib::Platform {

struct GcryptFunctions {
    decltype(&::gcry_check_version) gcry_check_version;
    decltype(&::gcry_control) gcry_control;
    decltype(&::gcry_randomize) gcry_randomize;
    decltype(&::gcry_sexp_build) gcry_sexp_build;
    decltype(&::gcry_sexp_release) gcry_sexp_release;
    decltype(&::gcry_sexp_find_token) gcry_sexp_find_token;
    decltype(&::gcry_sexp_nth_data) gcry_sexp_nth_data;
    decltype(&::gcry_mpi_ec_new) gcry_mpi_ec_new;
    decltype(&::gcry_mpi_ec_get_mpi) gcry_mpi_ec_get_mpi;
    decltype(&::gcry_mpi_get_opaque) gcry_mpi_get_opaque;
    decltype(&::gcry_mpi_release) gcry_mpi_release;
    decltype(&::gcry_ctx_release) gcry_ctx_release;
    decltype(&::gcry_pk_sign) gcry_pk_sign;
    decltype(&::gcry_pk_verify) gcry_pk_verify;
    decltype(&::gcry_md_open) gcry_md_open;
    decltype(&::gcry_md_close) gcry_md_close;
    decltype(&::gcry_md_write) gcry_md_write;
    decltype(&::gcry_md_read) gcry_md_read;
    decltype(&::gcry_md_get_algo_dlen) gcry_md_get_algo_dlen;
};

// The table with every member set, or nullptr when the library cannot be had. Safe to call
// from any thread; the table lives until the process ends.
const GcryptFunctions* gcryptFunctions();

}  // namespace KelvraCorelib::Platform
