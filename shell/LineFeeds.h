#pragma once

// The line feeds that end lines in UTF-8 text, found in bulk.
//
// "\n" is a character of its own everywhere except directly after "\r", where
// the two make one character (CR LF) that ends no line. Looking for each line
// feed with its own memchr costs a call and a mispredicted branch per line;
// short lines are common, so the text is instead scanned 1 KiB at a time into
// one bit mask per 64 bytes of the line feeds that count, and the set bits
// are handed out one by one.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace shell {

// Finds the line-ending line feeds of one text in order. The text is taken as
// a whole: a line feed at its very start ends a line whatever came before.
// It does not own the text.
class LineFeedScanner {
  public:
    static constexpr std::size_t npos = std::string_view::npos;

    LineFeedScanner() = default;
    explicit LineFeedScanner(std::string_view text) noexcept
        : data_(text.data()), size_(text.size()) {}

    // Points the scanner at the same bytes in another place (a copy of its
    // text), keeping where it stands.
    void rebase(std::string_view copy) noexcept { data_ = copy.data(); }

    // The offset of the first line-ending line feed at or after `from`, or
    // npos. Asking for ever larger offsets reads every byte once.
    std::size_t find(std::size_t from) noexcept {
        if (from >= size_) {
            return npos;
        }
        std::size_t block = from / blockSize;
        if (block - firstBlock_ >= blockCount_) {
            scan(block);
        }
        std::uint64_t bits =
            masks_[block - firstBlock_] & (~std::uint64_t{0} << (from % blockSize));
        while (bits == 0) {
            ++block;
            if (block * blockSize >= size_) {
                return npos;
            }
            if (block - firstBlock_ >= blockCount_) {
                scan(block);
            }
            bits = masks_[block - firstBlock_];
        }
        return block * blockSize + static_cast<std::size_t>(std::countr_zero(bits));
    }

    // The line-ending line feeds in order, one per call: the first, then the
    // next after it, and npos once there are no more (and on every later
    // call). Walking a text this way keeps the bits of the current block, so
    // a line costs a count of trailing zeros instead of a fresh look-up.
    // Independent of find().
    std::size_t next() noexcept {
        while (bits_ == 0) {
            if (nextBlock_ * blockSize >= size_) {
                return npos;
            }
            if (nextBlock_ - firstBlock_ >= blockCount_) {
                scan(nextBlock_);
            }
            bits_ = masks_[nextBlock_ - firstBlock_];
            bitsStart_ = nextBlock_ * blockSize;
            ++nextBlock_;
        }
        const std::size_t at = bitsStart_ + static_cast<std::size_t>(std::countr_zero(bits_));
        bits_ &= bits_ - 1;
        return at;
    }

  private:
    static constexpr std::size_t blockSize = 64;
    static constexpr std::size_t windowBlocks = 16;

    // Fills masks_ for the window of blocks that starts at block `first`.
    void scan(std::size_t first) noexcept;

    const char* data_ = nullptr;
    std::size_t size_ = 0;
    // masks_[i] has bit j set when byte (firstBlock_ + i) * 64 + j of the
    // text is a line feed that ends a line, for i below blockCount_.
    std::size_t firstBlock_ = 0;
    std::size_t blockCount_ = 0;
    std::uint64_t masks_[windowBlocks] = {};
    // Where next() stands: the line feeds of the block that starts at
    // bitsStart_ not handed out yet, and the block to look at after them.
    std::uint64_t bits_ = 0;
    std::size_t bitsStart_ = 0;
    std::size_t nextBlock_ = 0;
};

namespace detail {

// Bit j of masks[i] is set when byte 64 * i + j of `bytes` is a line feed
// that ends a line: one not directly after a carriage return, where bytes[-1]
// counts as the byte before the first (it must be readable). `blocks` blocks
// of 64 bytes.
using ScanBlocks = void (*)(const char* bytes, std::size_t blocks, std::uint64_t* masks);

// Every way of scanning blocks that this processor can run; the first is the
// one LineFeedScanner uses.
std::vector<ScanBlocks> blockScanners();

}  // namespace detail

// The first line-ending line feed of a text, or npos.
inline std::size_t findLineFeed(std::string_view text) noexcept {
    return LineFeedScanner(text).find(0);
}

}  // namespace shell
