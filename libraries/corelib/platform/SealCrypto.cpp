// Ed25519, SHA-256, SHA-512 and random bytes of libgcrypt (the same library on every
// platform, reached through the table of GcryptLibrary.h).
#include "corelib/platform/SealCrypto.h"

#include <cstring>
#include <mutex>

#include "corelib/platform/GcryptLibrary.h"

namespace KelvraCorelib::Platform {

namespace {

// The library's table once ready() has said true.
const GcryptFunctions* library = nullptr;

const GcryptFunctions& api()
{
    return *library;
}

bool ready()
{
    static std::once_flag once;
    static bool usable = false;
    std::call_once(once, [] {
        library = gcryptFunctions();
        if (library == nullptr) {
            return;
        }
        if (api().gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) {
            usable = true;  // set up by someone else in this process
            return;
        }
        if (api().gcry_check_version(GCRYPT_VERSION) == nullptr) {
            return;
        }
        // Keys live in ordinary memory: secure memory needs privileges that a run may lack.
        api().gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        api().gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        usable = true;
    });
    return usable;
}

// An S-expression released at the end of its scope.
struct Sexp {
    gcry_sexp_t value = nullptr;
    ~Sexp()
    {
        if (value != nullptr) {
            api().gcry_sexp_release(value);
        }
    }
};

// The value of a token such as "(r ...)" of a signature, right-aligned in size bytes.
bool tokenBytes(gcry_sexp_t from, const char* token, uint8_t* output, size_t size)
{
    Sexp found;
    found.value = api().gcry_sexp_find_token(from, token, 0);
    if (found.value == nullptr) {
        return false;
    }
    size_t length = 0;
    const char* data = api().gcry_sexp_nth_data(found.value, 1, &length);
    if (data == nullptr || length > size) {
        return false;
    }
    std::memset(output, 0, size - length);
    std::memcpy(output + (size - length), data, length);
    return true;
}

bool messageSexp(Sexp& data, const uint8_t* message, size_t size)
{
    return api().gcry_sexp_build(&data.value, nullptr, "(data(flags eddsa)(hash-algo sha512)(value %b))", int(size),
                                 message) == 0;
}

// The group order L = 2^252 + 27742317777372353535851937790883648493, little-endian.
constexpr uint8_t groupOrder[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                    0xa2, 0xde, 0xf9, 0xde, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};

// Whether a little-endian 32-byte number is below L.
bool belowGroupOrder(const uint8_t* value)
{
    for (size_t i = 32; i-- > 0;) {
        if (value[i] != groupOrder[i]) {
            return value[i] < groupOrder[i];
        }
    }
    return false;
}

// Whether a point's encoding is canonical: y (the low 255 bits) below p = 2^255 - 19, and the
// sign bit clear where x is 0 (y = 1 or y = p - 1).
bool canonicalPoint(const uint8_t* point)
{
    bool middleAllOnes = true;  // bytes 1 to 30 are 0xff
    bool middleAllZeros = true;
    for (size_t i = 1; i < 31; ++i) {
        middleAllOnes = middleAllOnes && point[i] == 0xff;
        middleAllZeros = middleAllZeros && point[i] == 0;
    }
    const uint8_t top = point[31] & 0x7f;
    const bool signBit = (point[31] & 0x80) != 0;
    // y >= p: 0x7fff...ffed and above.
    if (top == 0x7f && middleAllOnes && point[0] >= 0xed) {
        return false;
    }
    const bool yIsOne = top == 0 && middleAllZeros && point[0] == 0x01;
    const bool yIsMinusOne = top == 0x7f && middleAllOnes && point[0] == 0xec;
    return !(signBit && (yIsOne || yIsMinusOne));
}

}  // namespace

bool ed25519Canonical(const uint8_t* publicKey, const uint8_t* signature)
{
    return canonicalPoint(publicKey) && canonicalPoint(signature) && belowGroupOrder(signature + 32);
}

bool randomBytes(uint8_t* output, size_t size)
{
    if (!ready()) {
        return false;
    }
    api().gcry_randomize(output, size, GCRY_STRONG_RANDOM);
    return true;
}

bool ed25519PublicKey(const uint8_t* seed, uint8_t* publicKey)
{
    if (!ready()) {
        return false;
    }
    Sexp key;
    if (api().gcry_sexp_build(&key.value, nullptr, "(private-key(ecc(curve Ed25519)(flags eddsa)(d %b)))",
                              int(ed25519SeedSize), seed) != 0) {
        return false;
    }
    gcry_ctx_t context = nullptr;
    if (api().gcry_mpi_ec_new(&context, key.value, nullptr) != 0) {
        return false;
    }
    bool done = false;
    gcry_mpi_t point = api().gcry_mpi_ec_get_mpi("q@eddsa", context, 1);
    if (point != nullptr) {
        unsigned int bits = 0;
        const void* bytes = api().gcry_mpi_get_opaque(point, &bits);
        if (bytes != nullptr && bits == ed25519PublicKeySize * 8) {
            std::memcpy(publicKey, bytes, ed25519PublicKeySize);
            done = true;
        }
        api().gcry_mpi_release(point);
    }
    api().gcry_ctx_release(context);
    return done;
}

bool ed25519Sign(const uint8_t* seed, const uint8_t* publicKey, const uint8_t* message, size_t size,
                 uint8_t* signature)
{
    if (!ready()) {
        return false;
    }
    Sexp key;
    Sexp data;
    Sexp result;
    if (api().gcry_sexp_build(&key.value, nullptr, "(private-key(ecc(curve Ed25519)(flags eddsa)(q %b)(d %b)))",
                              int(ed25519PublicKeySize), publicKey, int(ed25519SeedSize), seed) != 0 ||
        !messageSexp(data, message, size) || api().gcry_pk_sign(&result.value, data.value, key.value) != 0) {
        return false;
    }
    return tokenBytes(result.value, "r", signature, 32) && tokenBytes(result.value, "s", signature + 32, 32);
}

bool ed25519Verify(const uint8_t* publicKey, const uint8_t* message, size_t size, const uint8_t* signature)
{
    if (!ready() || !ed25519Canonical(publicKey, signature)) {
        return false;
    }
    Sexp key;
    Sexp data;
    Sexp value;
    return api().gcry_sexp_build(&key.value, nullptr, "(public-key(ecc(curve Ed25519)(flags eddsa)(q %b)))",
                                 int(ed25519PublicKeySize), publicKey) == 0 &&
           messageSexp(data, message, size) &&
           api().gcry_sexp_build(&value.value, nullptr, "(sig-val(eddsa(r %b)(s %b)))", 32, signature, 32,
                                 signature + 32) == 0 &&
           api().gcry_pk_verify(value.value, data.value, key.value) == 0;
}

struct HashDigest::State {
    gcry_md_hd_t handle = nullptr;
    ~State()
    {
        if (handle != nullptr) {
            api().gcry_md_close(handle);
        }
    }
};

HashDigest::HashDigest(Kind kind) : kind(kind)
{
    if (!ready()) {
        return;
    }
    auto opened = std::make_unique<State>();
    if (api().gcry_md_open(&opened->handle, kind == Kind::sha256 ? GCRY_MD_SHA256 : GCRY_MD_SHA512, 0) == 0) {
        state = std::move(opened);
    }
}

HashDigest::~HashDigest() = default;

void HashDigest::update(const void* data, size_t size)
{
    if (state) {
        api().gcry_md_write(state->handle, data, size);
    }
}

std::string HashDigest::finish()
{
    if (!state) {
        return std::string();
    }
    const int algorithm = kind == Kind::sha256 ? GCRY_MD_SHA256 : GCRY_MD_SHA512;
    const unsigned char* digest = api().gcry_md_read(state->handle, algorithm);
    if (digest == nullptr) {
        return std::string();
    }
    return std::string(reinterpret_cast<const char*>(digest), api().gcry_md_get_algo_dlen(algorithm));
}

}  // namespace KelvraCorelib::Platform
