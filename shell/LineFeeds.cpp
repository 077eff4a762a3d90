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

void scanBlocksPortable(const char* bytes, std::size_t blocks, std::uint64_t* lineFeeds,
                        std::uint64_t* carriageReturns) {
    for (std::size_t i = 0; i < blocks; ++i, bytes += 64) {
        std::uint64_t lf = 0;
        std::uint64_t cr = 0;
#if defined(__SSE2__)
        for (unsigned k = 0; k < 4; ++k) {
            const __m128i part = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16 * k));
            const auto shift = 16 * k;
            lf |= std::uint64_t{static_cast<std::uint16_t>(
                      _mm_movemask_epi8(_mm_cmpeq_epi8(part, _mm_set1_epi8('\n'))))}
                  << shift;
            cr |= std::uint64_t{static_cast<std::uint16_t>(
                      _mm_movemask_epi8(_mm_cmpeq_epi8(part, _mm_set1_epi8('\r'))))}
                  << shift;
        }
#else
        for (unsigned k = 0; k < 64; ++k) {
            lf |= std::uint64_t{bytes[k] == '\n'} << k;
            cr |= std::uint64_t{bytes[k] == '\r'} << k;
        }
#endif
        lineFeeds[i] = lf;
        carriageReturns[i] = cr;
    }
}

#if defined(CORVANTIS_LINE_FEEDS_AVX2)
__attribute__((target("avx2"))) inline std::uint64_t equalBits(__m256i low, __m256i high,
                                                               __m256i pattern) {
    const auto lowBits =
        static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(low, pattern)));
    const auto highBits =
        static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(high, pattern)));
    return std::uint64_t{lowBits} | std::uint64_t{highBits} << 32;
}

// Twice the bytes per instruction of SSE2, on the machines that have it.
__attribute__((target("avx2"))) void scanBlocksAvx2(const char* bytes, std::size_t blocks,
                                                    std::uint64_t* lineFeeds,
                                                    std::uint64_t* carriageReturns) {
    const __m256i lf = _mm256_set1_epi8('\n');
    const __m256i cr = _mm256_set1_epi8('\r');
    for (std::size_t i = 0; i < blocks; ++i, bytes += 64) {
        const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes));
        const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + 32));
        lineFeeds[i] = equalBits(low, high, lf);
        carriageReturns[i] = equalBits(low, high, cr);
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
    const std::size_t count = std::min(windowBlocks, (size_ - start + blockSize - 1) / blockSize);
    const std::size_t whole = std::min(count, (size_ - start) / blockSize);
    std::uint64_t lineFeeds[windowBlocks];
    std::uint64_t carriageReturns[windowBlocks];
    scanBlocks(data_ + start, whole, lineFeeds, carriageReturns);
    if (whole < count) {
        // The last, short block: zero bytes beyond the text match nothing.
        char tail[blockSize] = {};
        const std::size_t offset = start + whole * blockSize;
        std::memcpy(tail, data_ + offset, size_ - offset);
        scanBlocks(tail, 1, lineFeeds + whole, carriageReturns + whole);
    }
    // A line feed right after a carriage return, even across blocks, ends
    // no line.
    std::uint64_t afterCarriageReturn = start > 0 && data_[start - 1] == '\r';
    for (std::size_t i = 0; i < count; ++i) {
        masks_[i] = lineFeeds[i] & ~((carriageReturns[i] << 1) | afterCarriageReturn);
        afterCarriageReturn = carriageReturns[i] >> 63;
    }
    firstBlock_ = first;
    blockCount_ = count;
}

}  // namespace shell
