#pragma once
// Keyed variant tree: every node holds a key, a value and children kept in ascending key order.
// Serial form (tree image), depth first per node: int32 child count, key, value, the children.
// File form (tree file): the image as a stream file, packed when that pays off.
// Not locked; one thread at a time.

#include "core/MVariant.h"

#include <cstdint>
#include <memory>
#include <vector>

class MBaseStream;

class MVarArray {
public:
    // A child count above this (or below 0) in an image is read as no children.
    static constexpr int32_t kMaxChildren = 100'000;
    // Nesting deeper than this is refused on loading and saving; the trees of this system are
    // a few levels deep and a hostile image must not exhaust the stack.
    static constexpr int kMaxDepth = 256;
    // Smallest image of a node: count, empty key, empty value.
    static constexpr int32_t kMinNodeBytes = 12;

    MVarArray() = default;
    ~MVarArray() = default;
    // Deep copy, key included.
    MVarArray(const MVarArray& other);
    MVarArray& operator=(const MVarArray&) = delete;
    MVarArray(MVarArray&&) noexcept = default;
    // Takes key, value and children as they are (variant assignment would narrow them).
    MVarArray& operator=(MVarArray&& other) noexcept;

    MVariant& Value() { return m_value; }
    const MVariant& Value() const { return m_value; }
    // Changing a child's key directly can break the order the lookups rely on.
    MVariant& Key() { return m_key; }
    const MVariant& Key() const { return m_key; }

    int Count() const { return static_cast<int>(m_children.size()); }
    MVarArray& Child(int i) { return *m_children[static_cast<size_t>(i)]; }
    const MVarArray& Child(int i) const { return *m_children[static_cast<size_t>(i)]; }

    // Bisection among the children. Not found: with `insert` a child with this key (copied as
    // given) and an empty value is inserted at its sorted place and its index returned; else -1.
    int IndexOf(const MVariant& key, bool insert = false);
    int IndexOf(const MVariant& key) const;
    // The child with this key, created empty when missing.
    MVarArray& Item(const MVariant& key) { return Child(IndexOf(key, true)); }
    // The child with this key, or null; never inserts.
    const MVarArray* Find(const MVariant& key) const;
    MVarArray* Find(const MVariant& key);
    // First child whose value is Equal to `value` (linear search), or null.
    MVarArray* FindByValue(const MVariant& value);
    const MVarArray* FindByValue(const MVariant& value) const;

    void Clear() { m_children.clear(); }
    // Removes child i; false when out of range.
    bool Delete(int i);
    // Drops children beyond n or appends empty ones up to n. Out of memory: no children, false.
    bool Resize(int n);
    // Makes target a deep copy of this node's value and children; target's own key stays.
    void CopyTo(MVarArray& target) const;
    // Assigns this value to target, then merges every child into target.Item(child key).
    // Target keys that this node lacks stay.
    void MergeInto(MVarArray& target) const;

    // False when the stream refuses a write or the tree cannot be read back (a string the reader
    // would refuse, more than kMaxChildren children, deeper than kMaxDepth).
    bool SaveImage(MBaseStream& stream) const;
    // Replaces this node by the image. On a short or invalid read it stops and returns false;
    // what was read stays. Children are sorted by key after loading.
    bool LoadImage(MBaseStream& stream);

    // The old file is replaced only once the new one is completely written.
    bool SaveToFile(const MString& path) const;
    // False when the file cannot be opened or is not sound; a damaged plain file loads as far as
    // it is sound, a packed file that fails its checks leaves the tree untouched.
    bool LoadFromFile(const MString& path);

private:
    enum class LoadResult { kOk, kPartial, kNothing };
    LoadResult LoadNode(MBaseStream& stream, int depth);
    bool SaveNode(MBaseStream& stream, int depth) const;
    void SortLoadedChildren();
    void MergeNode(MVarArray& target) const;
    bool Contains(const MVarArray* node) const;
    int Locate(const MVariant& key, int& insertAt) const;

    MVariant m_key;
    MVariant m_value;
    std::vector<std::unique_ptr<MVarArray>> m_children;
};
