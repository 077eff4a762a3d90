#include "shell/LineFeeds.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define CORVANTIS_LINE_FEEDS_AVX2 1
#endif

namespace shell {

namespace {

using detail::ScanBlocks;

// Each block is compared twice: with "\n" where it stands and with "\r" one
// byte earlier, so that a line feed after a carriage return drops out in the
// same step, even across blocks, and one bit mask per 16 (or 32) bytes is all
// that is extracted.
void scanBlocksPortable(const char* bytes, std::size_t blocks, std::uint64_t* masks) {
    for (std::size_t i = 0; i < blocks; ++i, bytes += 64) {
        std::uint64_t mask = 0;
#if defined(__SSE2__)
        for (unsigned k = 0; k < 4; ++k) {
            const auto* at = bytes + 16 * k;
            const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
            const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at - 1));
            const __m128i ends = _mm_andnot_si128(_mm_cmpeq_epi8(before, _mm_set1_epi8('\r')),
                                                  _mm_cmpeq_epi8(here, _mm_set1_epi8('\n')));
            mask |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(ends))} << (16 * k);
        }
#else
        for (unsigned k = 0; k < 64; ++k) {
            mask |= std::uint64_t{bytes[k] == '\n' && bytes[k - 1] != '\r'} << k;
        }
#endif
        masks[i] = mask;
    }
}

#if defined(CORVANTIS_LINE_FEEDS_AVX2)
__attribute__((target("avx2"))) inline std::uint32_t lineEnds(const char* at) {
    const __m256i here = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    const __m256i before = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at - 1));
    const __m256i ends = _mm256_andnot_si256(_mm256_cmpeq_epi8(before, _mm256_set1_epi8('\r')),
                                             _mm256_cmpeq_epi8(here, _mm256_set1_epi8('\n')));
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(ends));
}

// Twice the bytes per instruction of SSE2, on the machines that have it.
__attribute__((target("avx2"))) void scanBlocksAvx2(const char* bytes, std::size_t blocks,
                                                    std::uint64_t* masks) {
    for (std::size_t i = 0; i < blocks; ++i, bytes += 64) {
        masks[i] = std::uint64_t{lineEnds(bytes)} | std::uint64_t{lineEnds(bytes + 32)} << 32;
    }
}
#endif

ScanBlocks fastestScanBlocks() noexcept {
#if defined(CORVANTIS_LINE_FEEDS_AVX2)
    if (__builtin_cpu_supports("avx2")) {
        return scanBlocksAvx2;
    }
#endif
    return scanBlocksPortable;
}

}  // namespace

std::vector<ScanBlocks> detail::blockScanners() {
    std::vector<ScanBlocks> scanners{fastestScanBlocks()};
    if (scanners.front() != scanBlocksPortable) {
        scanners.push_back(scanBlocksPortable);
    }
    return scanners;
}

void LineFeedScanner::scan(std::size_t first) noexcept {
    // Chosen once for the process, by what the processor can do.
    static const ScanBlocks scanBlocks = fastestScanBlocks();

    const std::size_t start = first * blockSize;
    const std::size_t end = std::min(size_, start + windowBlocks * blockSize);
    // Blocks that lie wholly inside the text and have a byte before them in
    // it are scanned where they are; the first block of the text and a short
    // last block are copied behind a byte that is not a carriage return.
    std::size_t offset = start;
    std::uint64_t* mask = masks_;
    if (offset == 0) {
        char padded[blockSize + 1] = {};
        std::memcpy(padded + 1, data_, std::min(blockSize, size_));
        scanBlocks(padded + 1, 1, mask++);
        offset += blockSize;
    }
    if (offset < end) {
        const std::size_t whole = (end - offset) / blockSize;
        scanBlocks(data_ + offset, whole, mask);
        mask += whole;
        offset += whole * blockSize;
    }
    if (offset < end) {
        char padded[blockSize + 1] = {};
        std::memcpy(padded, data_ + offset - 1, end - offset + 1);
        scanBlocks(padded + 1, 1, mask++);
    }
    firstBlock_ = first;
    blockCount_ = static_cast<std::size_t>(mask - masks_);
}

}  // namespace shell
