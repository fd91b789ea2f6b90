#pragma once
// The Huffman code of Quake 3's network messages. The engines build it once, by feeding a fixed
// table of byte frequencies through their adaptive Huffman coder, and never change it after; a
// demo's messages are coded with the tree that results. The tree depends on the exact order
// in which that coder ranks and swaps nodes, so it is built here the same way, not as a
// textbook Huffman code of the same frequencies (which would tie-break differently).

#include <QByteArray>

#include <array>
#include <cstdint>
#include <vector>

namespace arbelon::demo {

class Q3Huffman {
public:
    // Built on first use; shared, never changed after.
    static const Q3Huffman &instance();

    // Decodes one symbol starting at bit (least significant bit of each byte first) of data,
    // which holds maxBit bits. Returns -1 when the code runs past maxBit.
    int decode(const std::uint8_t *data, std::int64_t &bit, std::int64_t maxBit) const;

    // Appends the code of symbol at bit of out, growing out as needed.
    void encode(QByteArray &out, std::int64_t &bit, std::uint8_t symbol) const;

    // The code of a symbol: its bits, the first sent in place 0, and their count.
    struct Code {
        std::uint32_t bits = 0;
        int length = 0;
    };
    Code code(std::uint8_t symbol) const { return m_codes[symbol]; }

private:
    Q3Huffman();

    // The finished tree: for node i, its children (leaves are -1 - symbol).
    struct Branch {
        int zero = 0;
        int one = 0;
    };
    std::vector<Branch> m_tree;
    int m_root = 0;
    std::array<Code, 256> m_codes{};
};

} // namespace arbelon::demo
