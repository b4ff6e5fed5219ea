// An ordered map from 64-bit keys to small plain values, for the handle
// table's address-range lookups (indexed_table.h): a B+ tree of wide nodes
// (up to 64 entries each, in sorted arrays), so that a million keys are four
// levels deep, the upper levels stay in the cache, and an entry costs about
// its own size. Keys are unique. Leaves are linked both ways, so that a
// cursor steps to the neighbouring keys without a new descent.
//
// A cursor is valid until the next insert or erase; through it a value may be
// changed in place.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

template <class V>
class OrderedIndex {
    static_assert(std::is_trivially_copyable<V>::value, "OrderedIndex holds plain values");

    static constexpr int kCap = 64;           // entries of a leaf, children of an inner node
    static constexpr int kMin = kCap / 4;     // fewer than this, and a node borrows or merges

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
        std::uint64_t keys[kCap - 1];
        Node* children[kCap];
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
    ~OrderedIndex() { destroy(root_); }
    OrderedIndex(const OrderedIndex&) = delete;
    OrderedIndex& operator=(const OrderedIndex&) = delete;

    std::size_t size() const { return size_; }

    // Adds key with value; false, changing nothing, when the key is there.
    bool insert(std::uint64_t key, const V& value) {
        if (!root_) {
            Leaf* leaf = new Leaf();
            root_ = leaf;
        }
        std::uint64_t separator = 0;
        Node* split = nullptr;
        if (!insertInto(root_, key, value, separator, split, true)) return false;
        ++size_;
        if (split) {
            Inner* root = new Inner();
            root->leaf = false;
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
        if (!root_ || !eraseFrom(root_, key)) return false;
        --size_;
        if (!root_->leaf && root_->count == 1) {
            Inner* old = static_cast<Inner*>(root_);
            root_ = old->children[0];
            delete old;
        } else if (root_->leaf && root_->count == 0) {
            delete static_cast<Leaf*>(root_);
            root_ = nullptr;
        }
        return true;
    }

    // The entry of this key, or an invalid cursor.
    Cursor find(std::uint64_t key) const {
        Leaf* leaf = leafFor(key);
        if (!leaf) return {};
        const int at = lowerBound(leaf->keys, leaf->count, key);
        return at < leaf->count && leaf->keys[at] == key ? Cursor(leaf, at) : Cursor();
    }

    // The entry with the greatest key at or below `key`.
    Cursor floor(std::uint64_t key) const {
        Leaf* leaf = leafFor(key);
        if (!leaf) return {};
        Cursor c(leaf, upperBound(leaf->keys, leaf->count, key));
        // upperBound is one past the answer; step back, into the previous
        // leaf when the answer lies there.
        if (c.at_ == 0) {
            c.leaf_ = leaf->prev;
            c.at_ = c.leaf_ ? c.leaf_->count : 0;
            if (!c.leaf_) return {};
        }
        --c.at_;
        return c;
    }

    // The entry with the least key at or above `key`.
    Cursor ceiling(std::uint64_t key) const {
        Leaf* leaf = leafFor(key);
        if (!leaf) return {};
        const int at = lowerBound(leaf->keys, leaf->count, key);
        if (at < leaf->count) return Cursor(leaf, at);
        return leaf->next ? Cursor(leaf->next, 0) : Cursor();
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
    static int lowerBound(const std::uint64_t* keys, int n, std::uint64_t key) {
        int lo = 0;
        while (n > 0) {
            const int half = n / 2;
            if (keys[lo + half] < key) {
                lo += half + 1;
                n -= half + 1;
            } else {
                n = half;
            }
        }
        return lo;
    }
    static int upperBound(const std::uint64_t* keys, int n, std::uint64_t key) {
        int lo = 0;
        while (n > 0) {
            const int half = n / 2;
            if (keys[lo + half] <= key) {
                lo += half + 1;
                n -= half + 1;
            } else {
                n = half;
            }
        }
        return lo;
    }

    Leaf* leafFor(std::uint64_t key) const {
        Node* n = root_;
        if (!n) return nullptr;
        while (!n->leaf) {
            Inner* in = static_cast<Inner*>(n);
            n = in->children[upperBound(in->keys, in->count - 1, key)];
        }
        return static_cast<Leaf*>(n);
    }

    // Inserts below n; a full node splits, and its new right half comes back
    // in `split` with the smallest key that half may hold. `rightmost`: n
    // holds the greatest keys of the tree.
    //
    // Keys that only grow (a heap's top) fill nodes to the brim: a full node
    // on the tree's right edge that gets a key at its end hands on that key
    // alone instead of half of its entries. Such a node may hold fewer than
    // kMin entries until the keys after it arrive.
    bool insertInto(Node* n, std::uint64_t key, const V& value, std::uint64_t& separator, Node*& split,
                    bool rightmost) {
        if (n->leaf) {
            Leaf* leaf = static_cast<Leaf*>(n);
            const int at = lowerBound(leaf->keys, leaf->count, key);
            if (at < leaf->count && leaf->keys[at] == key) return false;
            if (leaf->count < kCap) {
                placeInLeaf(leaf, at, key, value);
                return true;
            }
            Leaf* right = new Leaf();
            const int keep = at == kCap && rightmost ? kCap : kCap / 2;
            right->count = kCap - keep;
            std::memcpy(right->keys, leaf->keys + keep, sizeof(std::uint64_t) * right->count);
            std::memcpy(right->values, leaf->values + keep, sizeof(V) * right->count);
            leaf->count = keep;
            right->next = leaf->next;
            right->prev = leaf;
            if (leaf->next) leaf->next->prev = right;
            leaf->next = right;
            if (at <= keep && keep != kCap)
                placeInLeaf(leaf, at, key, value);
            else
                placeInLeaf(right, at - keep, key, value);
            separator = right->keys[0];
            split = right;
            return true;
        }
        Inner* in = static_cast<Inner*>(n);
        const int child = upperBound(in->keys, in->count - 1, key);
        std::uint64_t childSeparator = 0;
        Node* childSplit = nullptr;
        if (!insertInto(in->children[child], key, value, childSeparator, childSplit,
                        rightmost && child == in->count - 1))
            return false;
        if (!childSplit) return true;
        if (in->count < kCap) {
            placeInInner(in, child, childSeparator, childSplit);
            return true;
        }
        // Split this node: the upper children move to a new node, and the
        // separator between the halves goes up.
        Inner* right = new Inner();
        right->leaf = false;
        const int keep = child == kCap - 1 && rightmost ? kCap - 1 : kCap / 2;  // children left here
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
        return true;
    }

    static void placeInLeaf(Leaf* leaf, int at, std::uint64_t key, const V& value) {
        const int tail = leaf->count - at;
        std::memmove(leaf->keys + at + 1, leaf->keys + at, sizeof(std::uint64_t) * tail);
        std::memmove(leaf->values + at + 1, leaf->values + at, sizeof(V) * tail);
        leaf->keys[at] = key;
        leaf->values[at] = value;
        ++leaf->count;
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

    // Erases below n; true when the key was there. The caller mends n if it
    // fell below kMin.
    bool eraseFrom(Node* n, std::uint64_t key) {
        if (n->leaf) {
            Leaf* leaf = static_cast<Leaf*>(n);
            const int at = lowerBound(leaf->keys, leaf->count, key);
            if (at == leaf->count || leaf->keys[at] != key) return false;
            const int tail = leaf->count - at - 1;
            std::memmove(leaf->keys + at, leaf->keys + at + 1, sizeof(std::uint64_t) * tail);
            std::memmove(leaf->values + at, leaf->values + at + 1, sizeof(V) * tail);
            --leaf->count;
            return true;
        }
        Inner* in = static_cast<Inner*>(n);
        const int child = upperBound(in->keys, in->count - 1, key);
        if (!eraseFrom(in->children[child], key)) return false;
        if (in->children[child]->count < kMin) mend(in, child);
        return true;
    }

    // children[child] of `in` has too few entries: it borrows one from a
    // sibling that can spare it, or merges with a sibling.
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
        Node* to = in->children[child];
        Node* from = in->children[child - 1];
        if (to->leaf) {
            Leaf* t = static_cast<Leaf*>(to);
            Leaf* f = static_cast<Leaf*>(from);
            placeInLeaf(t, 0, f->keys[f->count - 1], f->values[f->count - 1]);
            --f->count;
            in->keys[child - 1] = t->keys[0];
        } else {
            Inner* t = static_cast<Inner*>(to);
            Inner* f = static_cast<Inner*>(from);
            std::memmove(t->keys + 1, t->keys, sizeof(std::uint64_t) * (t->count - 1));
            std::memmove(t->children + 1, t->children, sizeof(Node*) * t->count);
            t->keys[0] = in->keys[child - 1];
            t->children[0] = f->children[f->count - 1];
            ++t->count;
            in->keys[child - 1] = f->keys[f->count - 2];
            --f->count;
        }
    }

    void borrowFromRight(Inner* in, int child) {
        Node* to = in->children[child];
        Node* from = in->children[child + 1];
        if (to->leaf) {
            Leaf* t = static_cast<Leaf*>(to);
            Leaf* f = static_cast<Leaf*>(from);
            t->keys[t->count] = f->keys[0];
            t->values[t->count] = f->values[0];
            ++t->count;
            std::memmove(f->keys, f->keys + 1, sizeof(std::uint64_t) * (f->count - 1));
            std::memmove(f->values, f->values + 1, sizeof(V) * (f->count - 1));
            --f->count;
            in->keys[child] = f->keys[0];
        } else {
            Inner* t = static_cast<Inner*>(to);
            Inner* f = static_cast<Inner*>(from);
            t->keys[t->count - 1] = in->keys[child];
            t->children[t->count] = f->children[0];
            ++t->count;
            in->keys[child] = f->keys[0];
            std::memmove(f->keys, f->keys + 1, sizeof(std::uint64_t) * (f->count - 2));
            std::memmove(f->children, f->children + 1, sizeof(Node*) * (f->count - 1));
            --f->count;
        }
    }

    // Moves children[at + 1] into children[at] and drops it.
    void merge(Inner* in, int at) {
        Node* to = in->children[at];
        Node* from = in->children[at + 1];
        if (to->leaf) {
            Leaf* t = static_cast<Leaf*>(to);
            Leaf* f = static_cast<Leaf*>(from);
            std::memcpy(t->keys + t->count, f->keys, sizeof(std::uint64_t) * f->count);
            std::memcpy(t->values + t->count, f->values, sizeof(V) * f->count);
            t->count += f->count;
            t->next = f->next;
            if (f->next) f->next->prev = t;
            delete f;
        } else {
            Inner* t = static_cast<Inner*>(to);
            Inner* f = static_cast<Inner*>(from);
            t->keys[t->count - 1] = in->keys[at];
            std::memcpy(t->keys + t->count, f->keys, sizeof(std::uint64_t) * (f->count - 1));
            std::memcpy(t->children + t->count, f->children, sizeof(Node*) * f->count);
            t->count += f->count;
            delete f;
        }
        const int tail = in->count - 2 - at;
        std::memmove(in->keys + at, in->keys + at + 1, sizeof(std::uint64_t) * tail);
        std::memmove(in->children + at + 1, in->children + at + 2, sizeof(Node*) * tail);
        --in->count;
    }

    static void destroy(Node* n) {
        if (!n) return;
        if (n->leaf) {
            delete static_cast<Leaf*>(n);
            return;
        }
        Inner* in = static_cast<Inner*>(n);
        for (int i = 0; i < in->count; ++i) destroy(in->children[i]);
        delete in;
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
    // the same depth; leaves appear in order along their links; only the
    // root and the nodes on the right edge may hold fewer than kMin entries.
    static bool check(const Node* n, std::uint64_t lo, bool hasLo, std::uint64_t hi, bool hasHi, bool isRoot,
                      bool rightmost, std::size_t& counted, const Leaf*& last, int levels) {
        if (!isRoot && n->count < (rightmost ? 1 : kMin)) return false;
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

    Node* root_ = nullptr;
    std::size_t size_ = 0;
};
