#include "q3huffman.h"

namespace arbelon::demo {

namespace {

// How often each byte value is counted into the coder before use: a fact of the format,
// ioquake3 code/qcommon/msg.c, msg_hData (the same table in every Quake 3 engine).
// clang-format off
constexpr std::array<int, 256> kFrequencies = {
    250315, 41193, 6292,  7106,  3730,  3750,  6110,  23283, 33317, 6950,  7838,  9714,  9257,  17259, 3949,  1778,
    8288,   1604,  1590,  1663,  1100,  1213,  1238,  1134,  1749,  1059,  1246,  1149,  1273,  4486,  2805,  3472,
    21819,  1159,  1670,  1066,  1043,  1012,  1053,  1070,  1726,  888,   1180,  850,   960,   780,   1752,  3296,
    10630,  4514,  5881,  2685,  4650,  3837,  2093,  1867,  2584,  1949,  1972,  940,   1134,  1788,  1670,  1206,
    5719,   6128,  7222,  6654,  3710,  3795,  1492,  1524,  2215,  1140,  1355,  971,   2180,  1248,  1328,  1195,
    1770,   1078,  1264,  1266,  1168,  965,   1155,  1186,  1347,  1228,  1529,  1600,  2617,  2048,  2546,  3275,
    2410,   3585,  2504,  2800,  2675,  6146,  3663,  2840,  14253, 3164,  2221,  1687,  3208,  2739,  3512,  4796,
    4091,   3515,  5288,  4016,  7937,  6031,  5360,  3924,  4892,  3743,  4566,  4807,  5852,  6400,  6225,  8291,
    23243,  7838,  7073,  8935,  5437,  4483,  3641,  5256,  5312,  5328,  5370,  3492,  2458,  1694,  1821,  2121,
    1916,   1149,  1516,  1367,  1236,  1029,  1258,  1104,  1245,  1006,  1149,  1025,  1241,  952,   1287,  997,
    1713,   1009,  1187,  879,   1099,  929,   1078,  951,   1656,  930,   1153,  1030,  1262,  1062,  1214,  1060,
    1621,   930,   1106,  912,   1034,  892,   1158,  990,   1175,  850,   1121,  903,   1087,  920,   1144,  1056,
    3462,   2240,  4397,  12136, 7758,  1345,  1307,  3278,  1950,  886,   1023,  1112,  1077,  1042,  1061,  1071,
    1484,   1001,  1096,  915,   1052,  995,   1070,  876,   1111,  851,   1059,  805,   1112,  923,   1103,  817,
    1899,   1872,  976,   841,   1127,  956,   1159,  950,   7791,  954,   1289,  933,   1127,  3207,  1020,  927,
    1355,   768,   1040,  745,   952,   805,   1073,  740,   1013,  805,   1008,  796,   996,   1057,  11457, 13504,
};
// clang-format on

constexpr int kNone = -1;
constexpr int kNotYetSent = 256; // the escape node of the adaptive coder
constexpr int kInternal = 257;

// The adaptive coder as the engines run it (ioquake3 code/qcommon/huffman.c, Huff_addRef):
// nodes ranked by their place in a list ordered by weight, each weight block led by the node
// that a shared "leader" slot names; a node that gains weight is first swapped with its
// block's leader. Only the tree it ends with is kept.
class AdaptiveTree {
public:
    AdaptiveTree()
    {
        m_nodes.reserve(2 * 256 + 1);
        m_root = m_list = addNode(kNotYetSent, 0);
        m_leaf.fill(kNone);
    }

    void count(int symbol)
    {
        if (m_leaf[symbol] != kNone) {
            increment(m_leaf[symbol]);
            return;
        }
        // A new symbol: the escape node splits into an internal node holding the escape node
        // and the symbol's leaf, both placed right after the escape node in the list.
        const int escape = m_list;
        const int leaf = addNode(symbol, 1);
        const int inner = addNode(kInternal, 1);
        insertAfterEscape(inner);
        insertAfterEscape(leaf);
        const int parent = m_nodes[escape].parent;
        if (parent == kNone)
            m_root = inner;
        else if (m_nodes[parent].left == escape)
            m_nodes[parent].left = inner;
        else
            m_nodes[parent].right = inner;
        m_nodes[inner].right = leaf;
        m_nodes[inner].left = escape;
        m_nodes[inner].parent = parent;
        m_nodes[escape].parent = inner;
        m_nodes[leaf].parent = inner;
        m_leaf[symbol] = leaf;
        increment(parent);
    }

    struct Node {
        int symbol;
        int weight;
        int left = kNone, right = kNone, parent = kNone;
        int next = kNone, prev = kNone;
        int leader = kNone; // the slot naming the leader of this node's weight block
    };
    const std::vector<Node> &nodes() const { return m_nodes; }
    int root() const { return m_root; }

private:
    int addNode(int symbol, int weight)
    {
        m_nodes.push_back(Node{symbol, weight});
        return int(m_nodes.size()) - 1;
    }

    int newSlot(int value)
    {
        if (!m_freeSlots.empty()) {
            const int s = m_freeSlots.back();
            m_freeSlots.pop_back();
            m_slots[s] = value;
            return s;
        }
        m_slots.push_back(value);
        return int(m_slots.size()) - 1;
    }

    void insertAfterEscape(int n)
    {
        Node &escape = m_nodes[m_list];
        Node &node = m_nodes[n];
        node.next = escape.next;
        if (escape.next != kNone) {
            Node &after = m_nodes[escape.next];
            after.prev = n;
            // Weight 1 joins the block of the node after it, if that block has weight 1.
            node.leader = after.weight == 1 ? after.leader : newSlot(n);
        } else {
            node.leader = newSlot(n);
        }
        m_nodes[m_list].next = n;
        node.prev = m_list;
    }

    void swapInTree(int a, int b)
    {
        const int pa = m_nodes[a].parent;
        const int pb = m_nodes[b].parent;
        if (pa == kNone)
            m_root = b;
        else if (m_nodes[pa].left == a)
            m_nodes[pa].left = b;
        else
            m_nodes[pa].right = b;
        if (pb == kNone)
            m_root = a;
        else if (m_nodes[pb].left == b)
            m_nodes[pb].left = a;
        else
            m_nodes[pb].right = a;
        m_nodes[a].parent = pb;
        m_nodes[b].parent = pa;
    }

    void swapInList(int a, int b)
    {
        Node &na = m_nodes[a];
        Node &nb = m_nodes[b];
        std::swap(na.next, nb.next);
        std::swap(na.prev, nb.prev);
        if (na.next == a)
            na.next = b;
        if (nb.next == b)
            nb.next = a;
        if (na.next != kNone)
            m_nodes[na.next].prev = a;
        if (nb.next != kNone)
            m_nodes[nb.next].prev = b;
        if (na.prev != kNone)
            m_nodes[na.prev].next = a;
        if (nb.prev != kNone)
            m_nodes[nb.prev].next = b;
    }

    void increment(int n)
    {
        if (n == kNone)
            return;
        {
            const Node &node = m_nodes[n];
            if (node.next != kNone && m_nodes[node.next].weight == node.weight) {
                const int leader = m_slots[node.leader];
                if (leader != node.parent)
                    swapInTree(leader, n);
                swapInList(leader, n);
            }
        }
        Node &node = m_nodes[n];
        if (node.prev != kNone && m_nodes[node.prev].weight == node.weight) {
            m_slots[node.leader] = node.prev;
        } else {
            m_slots[node.leader] = kNone;
            m_freeSlots.push_back(node.leader);
        }
        ++node.weight;
        if (node.next != kNone && m_nodes[node.next].weight == node.weight)
            node.leader = m_nodes[node.next].leader;
        else
            node.leader = newSlot(n);
        const int parent = node.parent;
        if (parent == kNone)
            return;
        increment(parent);
        if (m_nodes[n].prev == parent) {
            swapInList(n, parent);
            if (m_slots[m_nodes[n].leader] == n)
                m_slots[m_nodes[n].leader] = parent;
        }
    }

    std::vector<Node> m_nodes;
    std::vector<int> m_slots;
    std::vector<int> m_freeSlots;
    std::array<int, 256> m_leaf{};
    int m_root = kNone;
    int m_list = kNone; // the escape node, lowest in the list
};

} // namespace

const Q3Huffman &Q3Huffman::instance()
{
    static const Q3Huffman huffman;
    return huffman;
}

Q3Huffman::Q3Huffman()
{
    AdaptiveTree adaptive;
    for (int symbol = 0; symbol < 256; ++symbol) {
        for (int i = 0; i < kFrequencies[symbol]; ++i)
            adaptive.count(symbol);
    }
    // Every byte value has been counted, so the escape node is never reached by a real code;
    // it stays in the tree as a leaf that decodes to nothing.
    const auto &nodes = adaptive.nodes();
    std::vector<int> index(nodes.size(), 0);
    const auto leafOrBranch = [&](int n) {
        const int s = nodes[n].symbol;
        if (s == kInternal)
            return index[n];
        return s == kNotYetSent ? -1 - 256 : -1 - s;
    };
    for (std::size_t n = 0; n < nodes.size(); ++n) {
        if (nodes[n].symbol == kInternal) {
            index[n] = int(m_tree.size());
            m_tree.push_back({});
        }
    }
    for (std::size_t n = 0; n < nodes.size(); ++n) {
        if (nodes[n].symbol == kInternal)
            m_tree[index[n]] = {leafOrBranch(nodes[n].left), leafOrBranch(nodes[n].right)};
    }
    m_root = index[adaptive.root()];
    // A symbol's code is the path from the root, read off from its leaf upwards: each step up
    // moves the bits gathered so far one place higher, so the root's bit ends in place 0.
    for (std::size_t n = 0; n < nodes.size(); ++n) {
        const int s = nodes[n].symbol;
        if (s >= 256)
            continue;
        Code c;
        for (int child = int(n), parent = nodes[n].parent; parent != kNone; child = parent, parent = nodes[parent].parent) {
            c.bits = (c.bits << 1) | (nodes[parent].right == child ? 1u : 0u);
            ++c.length;
        }
        m_codes[s] = c;
    }
}

int Q3Huffman::decode(const std::uint8_t *data, std::int64_t &bit, std::int64_t maxBit) const
{
    int node = m_root;
    std::int64_t at = bit;
    while (node >= 0) {
        if (at >= maxBit)
            return -1;
        const bool one = (data[at >> 3] >> (at & 7)) & 1;
        ++at;
        const Branch &b = m_tree[std::size_t(node)];
        node = one ? b.one : b.zero;
    }
    const int symbol = -1 - node;
    if (symbol > 255)
        return -1;
    bit = at;
    return symbol;
}

void Q3Huffman::encode(QByteArray &out, std::int64_t &bit, std::uint8_t symbol) const
{
    const Code c = m_codes[symbol];
    for (int i = 0; i < c.length; ++i) {
        if ((bit >> 3) >= out.size())
            out.append('\0');
        if ((c.bits >> i) & 1)
            out[qsizetype(bit >> 3)] = char(out[qsizetype(bit >> 3)] | char(1 << (bit & 7)));
        ++bit;
    }
}

} // namespace arbelon::demo
