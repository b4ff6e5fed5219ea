// An ordered map from 64-bit keys to small plain values, for the handle
// table's address-range lookups (indexed_table.h): a B+ tree of wide nodes
// (up to 64 entries each, in sorted arrays), so that a million keys are four
// levels deep, the upper levels stay in the cache, and an entry costs about
// its own size. Keys are unique. Leaves are linked both ways, so that a
// cursor steps to the neighbouring keys without a new descent.
//
// A program allocates and releases its blocks mostly in runs of neighbouring
// addresses, so the tree remembers the last few leaves it reached, with the
// key range each covers: a key in such a range needs no descent, and an
// insert or erase that fits in the leaf changes nothing else. For the same
// reason a leaf is not refilled from its neighbours when it runs low, only
// removed once it is empty (inner nodes keep at least kMin children): a run
// of erases then costs no rebalancing, and the tree never takes more nodes
// than it needed at its largest. Searches within a node are branch-free.
//
// A cursor is valid until the next change of the tree; through it a value
// may be changed in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <new>
#include <utility>
#include <vector>

#include "big_array.h"

template <class V>
class OrderedIndex {
    static_assert(std::is_trivially_copyable<V>::value, "OrderedIndex holds plain values");

    static constexpr int kCap = 64;        // entries of a leaf, children of an inner node
    static constexpr int kMin = kCap / 4;  // fewer children than this, and an inner node borrows or merges
    static constexpr int kFingers = 4;
    static constexpr std::uint64_t kTop = std::numeric_limits<std::uint64_t>::max();

    struct Node {
        int count = 0;  // entries of a leaf, children of an inner node
        bool leaf = true;
    };
    struct Leaf : Node {
        std::uint64_t keys[kCap];
        V values[kCap];
        Leaf* prev = nullptr;
        Leaf* next = nullptr;
    };
    // keys[i] separates children[i] (keys below it) from children[i + 1]
    // (keys at or above it).
    struct Inner : Node {
        Inner() { this->leaf = false; }
        std::uint64_t keys[kCap - 1];
        Node* children[kCap];
    };

    // Nodes of one kind come from chunks of 2 MB, offered to the kernel as
    // huge pages from the third chunk on, as the handle table's records are;
    // a node that goes is reused, and the chunks go with the tree.
    template <class N>
    class Pool {
    public:
        N* get() {
            if (free_) {
                N* n = free_;
                free_ = *reinterpret_cast<N**>(n);
                return new (n) N();
            }
            if (used_ == kPerChunk) {
                chunks_.emplace_back(kPerChunk * sizeof(N), chunks_.size() >= 2);
                used_ = 0;
            }
            return new (chunks_.back().data() + sizeof(N) * used_++) N();
        }
        void put(N* n) {
            *reinterpret_cast<N**>(n) = free_;
            free_ = n;
        }

    private:
        static constexpr std::size_t kPerChunk = (std::size_t(2) << 20) / sizeof(N);
        std::vector<BigArray<unsigned char>> chunks_;
        std::size_t used_ = kPerChunk;
        N* free_ = nullptr;
    };

public:
    class Cursor {
    public:
        Cursor() = default;
        explicit operator bool() const { return leaf_ != nullptr; }
        std::uint64_t key() const { return leaf_->keys[at_]; }
        V& value() const { return leaf_->values[at_]; }
        // The next or previous key; false (and invalid) at either end.
        bool next() {
            if (++at_ < leaf_->count) return true;
            leaf_ = leaf_->next;
            at_ = 0;
            return leaf_ != nullptr;
        }
        bool prev() {
            if (at_ > 0) {
                --at_;
                return true;
            }
            leaf_ = leaf_->prev;
            at_ = leaf_ ? leaf_->count - 1 : 0;
            return leaf_ != nullptr;
        }

    private:
        friend class OrderedIndex;
        Cursor(Leaf* leaf, int at) : leaf_(leaf), at_(at) {}
        Leaf* leaf_ = nullptr;
        int at_ = 0;
    };

    OrderedIndex() = default;
    ~OrderedIndex() = default;
    OrderedIndex(const OrderedIndex&) = delete;
    OrderedIndex& operator=(const OrderedIndex&) = delete;

    std::size_t size() const { return size_; }

    // Adds key with value; false, changing nothing, when the key is there.
    bool insert(std::uint64_t key, const V& value) {
        if (!root_) root_ = leaves_.get();
        Leaf* leaf = leafFor(key);
        const int at = lowerBound(leaf->keys, leaf->count, key);
        if (at < leaf->count && leaf->keys[at] == key) return false;
        ++size_;
        if (leaf->count < kCap) {
            placeInLeaf(leaf, at, key, value);
            return true;
        }
        std::uint64_t separator = 0;
        Node* split = nullptr;
        insertInto(root_, key, value, separator, split, true);
        if (split) {
            Inner* root = inners_.get();
            root->count = 2;
            root->children[0] = root_;
            root->children[1] = split;
            root->keys[0] = separator;
            root_ = root;
        }
        return true;
    }

    // Removes key; false when it is not there.
    bool erase(std::uint64_t key) {
        if (!root_) return false;
        Leaf* leaf = leafFor(key);
        const int at = lowerBound(leaf->keys, leaf->count, key);
        if (at == leaf->count || leaf->keys[at] != key) return false;
        --size_;
        if (leaf->count > 1) {
            removeFromLeaf(leaf, at);
            return true;
        }
        forgetFinger(leaf);  // the leaf goes; its neighbours' ranges only grow
        if (leaf == root_) {
            leaves_.put(leaf);
            root_ = nullptr;
            return true;
        }
        eraseFrom(root_, key);
        if (!root_->leaf && root_->count == 1) {
            Inner* old = static_cast<Inner*>(root_);
            root_ = old->children[0];
            inners_.put(old);
        }
        return true;
    }

    // The entry of this key, or an invalid cursor.
    Cursor find(std::uint64_t key) const {
        if (!root_) return {};
        Leaf* leaf = leafFor(key);
        const int at = lowerBound(leaf->keys, leaf->count, key);
        return at < leaf->count && leaf->keys[at] == key ? Cursor(leaf, at) : Cursor();
    }

    // The entry with the greatest key at or below `key`.
    Cursor floor(std::uint64_t key) const {
        if (!root_) return {};
        Leaf* leaf = leafFor(key);
        const int above = upperBound(leaf->keys, leaf->count, key);
        if (above > 0) return Cursor(leaf, above - 1);
        // The answer lies in the previous leaf, if anywhere.
        leaf = leaf->prev;
        return leaf ? Cursor(leaf, leaf->count - 1) : Cursor();
    }

    // The entry with the least key at or above `key`.
    Cursor ceiling(std::uint64_t key) const {
        if (!root_) return {};
        Leaf* leaf = leafFor(key);
        const int at = lowerBound(leaf->keys, leaf->count, key);
        if (at < leaf->count) return Cursor(leaf, at);
        return leaf->next ? Cursor(leaf->next, 0) : Cursor();
    }

    // For a map of pieces, where an entry's piece runs from its key to the
    // next key at most: makes [lo, hi) one piece of `value`. Every key in
    // [lo, hi) goes, lo gets `value`, and when the piece that held the
    // address hi goes on past it (reaches(its value)), hi gets that value,
    // unless hi is a key already. With toTop the range has no end: every key
    // from lo on goes. kept(v) is called for the value that hi gets, before
    // dropped(v) for the value of each key that goes. One descent, or none,
    // when the change stays within one leaf.
    template <class Reaches, class Kept, class Dropped>
    void assign(std::uint64_t lo, std::uint64_t hi, bool toTop, const V& value, Reaches reaches, Kept kept,
                Dropped dropped) {
        if (!toTop && root_ && assignInLeaf(lo, hi, value, reaches, kept, dropped)) return;
        if (!toTop) {
            const Cursor c = floor(hi);
            if (c && c.key() != hi && reaches(c.value())) {
                const V v = c.value();
                kept(v);
                insert(hi, v);
            }
        }
        for (Cursor c = ceiling(lo); c && (toTop || c.key() < hi); c = ceiling(lo)) {
            const std::uint64_t key = c.key();
            const V v = c.value();
            erase(key);
            dropped(v);
        }
        insert(lo, value);
    }

    // Checks the tree's invariants (sorted keys, separators, fill, links);
    // for the tests.
    bool valid() const {
        if (!root_) return size_ == 0;
        std::size_t counted = 0;
        const Leaf* last = nullptr;
        bool ok = check(root_, 0, false, 0, false, true, true, counted, last, depth(root_));
        return ok && counted == size_ && (last == nullptr || last->next == nullptr);
    }

private:
    // The first index whose key is not below `key` (lowerBound) or is above
    // it (upperBound), without a branch per step.
    static int lowerBound(const std::uint64_t* keys, int n, std::uint64_t key) {
        if (n == 0) return 0;
        const std::uint64_t* base = keys;
        while (n > 1) {
            const int half = n / 2;
            base = base[half - 1] < key ? base + half : base;
            n -= half;
        }
        return static_cast<int>(base - keys) + (*base < key);
    }
    static int upperBound(const std::uint64_t* keys, int n, std::uint64_t key) {
        if (n == 0) return 0;
        const std::uint64_t* base = keys;
        while (n > 1) {
            const int half = n / 2;
            base = base[half - 1] <= key ? base + half : base;
            n -= half;
        }
        return static_cast<int>(base - keys) + (*base <= key);
    }

    // A node's keys span eight cache lines, which a binary search would
    // otherwise fetch one after another: a large tree's lower levels are
    // seldom in the cache, so all are asked for at once.
    static void prefetchKeys(const Node* n) {
        const char* p = reinterpret_cast<const char*>(n);
        for (std::size_t at = 0; at < sizeof(Node) + sizeof(std::uint64_t) * kCap; at += 64)
            __builtin_prefetch(p + at);
    }

    // The leaf whose range holds `key`; it becomes a finger.
    Leaf* leafFor(std::uint64_t key) const {
        for (const Finger& f : fingers_)
            if (f.leaf && key >= f.lo && key < f.hi) return f.leaf;
        Node* n = root_;
        std::uint64_t lo = 0, hi = kTop;
        while (!n->leaf) {
            Inner* in = static_cast<Inner*>(n);
            const int child = upperBound(in->keys, in->count - 1, key);
            if (child > 0) lo = in->keys[child - 1];
            if (child < in->count - 1) hi = in->keys[child];
            n = in->children[child];
            prefetchKeys(n);
        }
        // The last key of all (kTop) lies outside every finger: it always
        // takes a descent.
        Finger& f = fingers_[nextFinger_];
        nextFinger_ = (nextFinger_ + 1) % kFingers;
        f = Finger{static_cast<Leaf*>(n), lo, hi};
        return f.leaf;
    }

    void forgetFinger(const Leaf* leaf) {
        for (Finger& f : fingers_)
            if (f.leaf == leaf) f.leaf = nullptr;
    }

    // A leaf split at `separator` keeps only the keys below it. No other
    // leaf's range changes when nodes split, borrow or merge.
    void narrowFinger(const Leaf* leaf, std::uint64_t separator) {
        for (Finger& f : fingers_)
            if (f.leaf == leaf && f.hi > separator) f.hi = separator;
    }

    // The common case of assign: everything happens in the leaf of hi. False
    // when it does not fit there (and nothing was changed).
    template <class Reaches, class Kept, class Dropped>
    bool assignInLeaf(std::uint64_t lo, std::uint64_t hi, const V& value, Reaches& reaches, Kept& kept,
                      Dropped& dropped) {
        Leaf* leaf = leafFor(hi);
        const int above = upperBound(leaf->keys, leaf->count, hi);
        if (above == 0) return false;  // the entry at or below hi is in another leaf
        const int below = above - 1;   // the entry at or below hi
        const bool hiIsKey = leaf->keys[below] == hi;
        const int last = hiIsKey ? below - 1 : below;  // the last key below hi
        const int first = lowerBound(leaf->keys, last + 1, lo);
        // Keys at or above lo may also lie in the previous leaf, and lo may
        // belong there, unless this leaf starts at lo or is the first.
        if (first == 0 && leaf->prev && !(last >= 0 && leaf->keys[0] == lo)) return false;
        const bool keepHi = !hiIsKey && reaches(leaf->values[below]);
        const int gone = last - first + 1;
        const int added = keepHi ? 2 : 1;
        const int count = leaf->count - gone + added;
        if (count > kCap) return false;

        const V atHi = leaf->values[below];
        if (keepHi) kept(atHi);
        for (int i = first; i <= last; ++i) dropped(leaf->values[i]);
        // Offsets are summed before they meet the arrays: last is -1 when no
        // key of the leaf lies below hi, and keys + last would point before
        // the array.
        const int rest = last + 1;  // the first entry that stays
        const int tail = leaf->count - rest;
        std::memmove(leaf->keys + (first + added), leaf->keys + rest, sizeof(std::uint64_t) * tail);
        std::memmove(leaf->values + (first + added), leaf->values + rest, sizeof(V) * tail);
        leaf->keys[first] = lo;
        leaf->values[first] = value;
        if (keepHi) {
            leaf->keys[first + 1] = hi;
            leaf->values[first + 1] = atHi;
        }
        size_ = size_ - static_cast<std::size_t>(leaf->count) + static_cast<std::size_t>(count);
        leaf->count = count;
        return true;
    }

    // How many entries (or children) a full node keeps when it splits for a
    // new one at position `at`. At an end it keeps more than half, since keys
    // that arrive in order go on arriving there; on the tree's right edge (a
    // heap's top) a leaf keeps all but an eighth, room for the blocks that
    // later land between its keys (a full leaf would split in half for the
    // first of them, and both halves stay half empty), and hands on the new
    // one; an inner node keeps all but its last child and hands on that and
    // the new one. Such a node may hold fewer than kMin until the keys after
    // it arrive.
    static int keepOnSplit(int at, bool rightmost, bool leaf) {
        if (at == kCap) return rightmost ? (leaf ? kCap - kCap / 8 : kCap - 1) : kCap - kCap / 4;
        if (at == 0) return kCap / 4;
        return kCap / 2;
    }

    // Inserts below n, whose leaf is full; a full node splits, and its new
    // right half comes back in `split` with the smallest key that half may
    // hold. `rightmost`: n holds the greatest keys of the tree.
    void insertInto(Node* n, std::uint64_t key, const V& value, std::uint64_t& separator, Node*& split,
                    bool rightmost) {
        if (n->leaf) {
            Leaf* leaf = static_cast<Leaf*>(n);
            const int at = lowerBound(leaf->keys, leaf->count, key);
            if (leaf->count < kCap) {
                placeInLeaf(leaf, at, key, value);
                return;
            }
            Leaf* right = leaves_.get();
            const int keep = keepOnSplit(at, rightmost, true);
            right->count = kCap - keep;
            std::memcpy(right->keys, leaf->keys + keep, sizeof(std::uint64_t) * right->count);
            std::memcpy(right->values, leaf->values + keep, sizeof(V) * right->count);
            leaf->count = keep;
            right->next = leaf->next;
            right->prev = leaf;
            if (leaf->next) leaf->next->prev = right;
            leaf->next = right;
            if (at < keep)
                placeInLeaf(leaf, at, key, value);
            else
                placeInLeaf(right, at - keep, key, value);
            separator = right->keys[0];
            split = right;
            narrowFinger(leaf, separator);
            return;
        }
        Inner* in = static_cast<Inner*>(n);
        const int child = upperBound(in->keys, in->count - 1, key);
        std::uint64_t childSeparator = 0;
        Node* childSplit = nullptr;
        insertInto(in->children[child], key, value, childSeparator, childSplit, rightmost && child == in->count - 1);
        if (!childSplit) return;
        if (in->count < kCap) {
            placeInInner(in, child, childSeparator, childSplit);
            return;
        }
        // Split this node: the upper children move to a new node, and the
        // separator between the halves goes up. The new child goes in after
        // position `child`.
        Inner* right = inners_.get();
        const int keep = keepOnSplit(child + 1, rightmost, false);  // children left here
        right->count = kCap - keep;
        std::memcpy(right->children, in->children + keep, sizeof(Node*) * right->count);
        std::memcpy(right->keys, in->keys + keep, sizeof(std::uint64_t) * (right->count - 1));
        separator = in->keys[keep - 1];
        in->count = keep;
        if (child < keep)
            placeInInner(in, child, childSeparator, childSplit);
        else
            placeInInner(right, child - keep, childSeparator, childSplit);
        split = right;
    }

    void placeInLeaf(Leaf* leaf, int at, std::uint64_t key, const V& value) {
        const int tail = leaf->count - at;
        std::memmove(leaf->keys + at + 1, leaf->keys + at, sizeof(std::uint64_t) * tail);
        std::memmove(leaf->values + at + 1, leaf->values + at, sizeof(V) * tail);
        leaf->keys[at] = key;
        leaf->values[at] = value;
        ++leaf->count;
    }

    static void removeFromLeaf(Leaf* leaf, int at) {
        const int tail = leaf->count - at - 1;
        std::memmove(leaf->keys + at, leaf->keys + at + 1, sizeof(std::uint64_t) * tail);
        std::memmove(leaf->values + at, leaf->values + at + 1, sizeof(V) * tail);
        --leaf->count;
    }

    // Puts `node` right after children[child], separated from it by `key`.
    static void placeInInner(Inner* in, int child, std::uint64_t key, Node* node) {
        const int tail = in->count - 1 - child;
        std::memmove(in->keys + child + 1, in->keys + child, sizeof(std::uint64_t) * tail);
        std::memmove(in->children + child + 2, in->children + child + 1, sizeof(Node*) * tail);
        in->keys[child] = key;
        in->children[child + 1] = node;
        ++in->count;
    }

    // Erases a key that is there, the last of its leaf, from below the inner
    // node n. The caller mends n if it fell below kMin children.
    void eraseFrom(Node* n, std::uint64_t key) {
        Inner* in = static_cast<Inner*>(n);
        const int child = upperBound(in->keys, in->count - 1, key);
        Node* below = in->children[child];
        if (below->leaf) {
            removeLeaf(in, child);
            return;
        }
        eraseFrom(below, key);
        if (below->count < kMin) mend(in, child);
    }

    // Unlinks and deletes the leaf children[child] of `in`, whose last key
    // has gone.
    void removeLeaf(Inner* in, int child) {
        Leaf* leaf = static_cast<Leaf*>(in->children[child]);
        if (leaf->prev) leaf->prev->next = leaf->next;
        if (leaf->next) leaf->next->prev = leaf->prev;
        leaves_.put(leaf);
        // The separator on the leaf's left goes with it; the first child's
        // goes to its right neighbour, whose keys all lie above it anyway.
        const int key = child > 0 ? child - 1 : 0;
        std::memmove(in->keys + key, in->keys + key + 1, sizeof(std::uint64_t) * (in->count - 2 - key));
        std::memmove(in->children + child, in->children + child + 1, sizeof(Node*) * (in->count - 1 - child));
        --in->count;
    }

    // The inner node children[child] of `in` has too few children: it
    // borrows one from a sibling that can spare it, or merges with a sibling.
    void mend(Inner* in, int child) {
        const int left = child - 1, right = child + 1;
        if (left >= 0 && in->children[left]->count > kMin) {
            borrowFromLeft(in, child);
        } else if (right < in->count && in->children[right]->count > kMin) {
            borrowFromRight(in, child);
        } else if (left >= 0) {
            merge(in, left);
        } else if (right < in->count) {
            merge(in, child);
        }
    }

    void borrowFromLeft(Inner* in, int child) {
        Inner* t = static_cast<Inner*>(in->children[child]);
        Inner* f = static_cast<Inner*>(in->children[child - 1]);
        std::memmove(t->keys + 1, t->keys, sizeof(std::uint64_t) * (t->count - 1));
        std::memmove(t->children + 1, t->children, sizeof(Node*) * t->count);
        t->keys[0] = in->keys[child - 1];
        t->children[0] = f->children[f->count - 1];
        ++t->count;
        in->keys[child - 1] = f->keys[f->count - 2];
        --f->count;
    }

    void borrowFromRight(Inner* in, int child) {
        Inner* t = static_cast<Inner*>(in->children[child]);
        Inner* f = static_cast<Inner*>(in->children[child + 1]);
        t->keys[t->count - 1] = in->keys[child];
        t->children[t->count] = f->children[0];
        ++t->count;
        in->keys[child] = f->keys[0];
        std::memmove(f->keys, f->keys + 1, sizeof(std::uint64_t) * (f->count - 2));
        std::memmove(f->children, f->children + 1, sizeof(Node*) * (f->count - 1));
        --f->count;
    }

    // Moves the children of children[at + 1] into children[at] and drops it.
    void merge(Inner* in, int at) {
        Inner* t = static_cast<Inner*>(in->children[at]);
        Inner* f = static_cast<Inner*>(in->children[at + 1]);
        t->keys[t->count - 1] = in->keys[at];
        std::memcpy(t->keys + t->count, f->keys, sizeof(std::uint64_t) * (f->count - 1));
        std::memcpy(t->children + t->count, f->children, sizeof(Node*) * f->count);
        t->count += f->count;
        inners_.put(f);
        const int tail = in->count - 2 - at;
        std::memmove(in->keys + at, in->keys + at + 1, sizeof(std::uint64_t) * tail);
        std::memmove(in->children + at + 1, in->children + at + 2, sizeof(Node*) * tail);
        --in->count;
    }

    static int depth(const Node* n) {
        int d = 1;
        while (!n->leaf) {
            n = static_cast<const Inner*>(n)->children[0];
            ++d;
        }
        return d;
    }

    // Keys of n lie in [lo, hi) where the bounds are given; every leaf is at
    // the same depth and holds a key; leaves appear in order along their
    // links; only the root and the inner nodes on the right edge may have
    // fewer than kMin children.
    static bool check(const Node* n, std::uint64_t lo, bool hasLo, std::uint64_t hi, bool hasHi, bool isRoot,
                      bool rightmost, std::size_t& counted, const Leaf*& last, int levels) {
        if (!isRoot && n->count < (rightmost || n->leaf ? 1 : kMin)) return false;
        if (n->count > kCap) return false;
        if (n->leaf) {
            if (levels != 1) return false;
            const Leaf* leaf = static_cast<const Leaf*>(n);
            if (leaf->prev != last) return false;
            if (last && last->next != leaf) return false;
            for (int i = 0; i < leaf->count; ++i) {
                if (i > 0 && leaf->keys[i - 1] >= leaf->keys[i]) return false;
                if (hasLo && leaf->keys[i] < lo) return false;
                if (hasHi && leaf->keys[i] >= hi) return false;
            }
            counted += static_cast<std::size_t>(leaf->count);
            last = leaf;
            return true;
        }
        const Inner* in = static_cast<const Inner*>(n);
        if (in->count < 2) return false;
        for (int i = 0; i < in->count; ++i) {
            if (i > 0 && i < in->count - 1 && in->keys[i - 1] >= in->keys[i]) return false;
            const bool childHasLo = i > 0 || hasLo;
            const std::uint64_t childLo = i > 0 ? in->keys[i - 1] : lo;
            const bool childHasHi = i < in->count - 1 || hasHi;
            const std::uint64_t childHi = i < in->count - 1 ? in->keys[i] : hi;
            if (!check(in->children[i], childLo, childHasLo, childHi, childHasHi, false,
                       rightmost && i == in->count - 1, counted, last, levels - 1))
                return false;
        }
        return true;
    }

    Pool<Leaf> leaves_;
    Pool<Inner> inners_;
    Node* root_ = nullptr;
    std::size_t size_ = 0;
    // The leaves last reached and the keys each covers, [lo, hi). Valid
    // until a node splits, borrows, merges or goes.
    struct Finger {
        Leaf* leaf = nullptr;
        std::uint64_t lo = 0, hi = 0;
    };
    mutable Finger fingers_[kFingers];
    mutable int nextFinger_ = 0;
};
