#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <span>

struct evp_md_ctx_st;

namespace platform {

// The SHA-512 of bytes handed over in pieces, as they arrive: constant memory
// whatever their total size.
class Sha512 {
  public:
    static constexpr std::size_t digestSize = 64;
    using Digest = std::array<std::byte, digestSize>;

    Sha512();
    void update(std::span<const std::byte> bytes);
    // The digest of every byte given; once.
    Digest finish();

  private:
    struct ContextDeleter {
        void operator()(evp_md_ctx_st* context) const;
    };
    std::unique_ptr<evp_md_ctx_st, ContextDeleter> context_;
};

}  // namespace platform
