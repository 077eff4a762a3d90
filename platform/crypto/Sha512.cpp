#include "platform/crypto/Sha512.h"

#include <openssl/evp.h>

#include <new>
#include <system_error>

namespace platform {
namespace {

// Only a broken or starved library fails these calls; there is no input that
// makes SHA-512 fail.
void check(int status, const char* what) {
    if (status != 1) {
        throw std::system_error(std::make_error_code(std::errc::not_supported), what);
    }
}

}  // namespace

void Sha512::ContextDeleter::operator()(evp_md_ctx_st* context) const {
    EVP_MD_CTX_free(context);
}

Sha512::Sha512() : context_(EVP_MD_CTX_new()) {
    if (!context_) {
        throw std::bad_alloc();
    }
    check(EVP_DigestInit_ex(context_.get(), EVP_sha512(), nullptr), "SHA-512 cannot start");
}

void Sha512::update(std::span<const std::byte> bytes) {
    check(EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()), "SHA-512 cannot hash");
}

Sha512::Digest Sha512::finish() {
    Digest digest;
    unsigned int size = 0;
    check(
        EVP_DigestFinal_ex(context_.get(), reinterpret_cast<unsigned char*>(digest.data()), &size),
        "SHA-512 cannot finish");
    check(size == digest.size() ? 1 : 0, "SHA-512 gave a digest of the wrong size");
    return digest;
}

}  // namespace platform
