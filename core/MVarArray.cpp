#include "core/MVarArray.h"

#include "core/FileUtils.h"
#include "core/MStream.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <unistd.h>
#include <vector>

namespace {

bool KeyLess(const std::unique_ptr<MVarArray>& a, const std::unique_ptr<MVarArray>& b) {
    return a->Key().Less(b->Key());
}

bool ReadInt32(MBaseStream& s, int32_t& v) {
    uint8_t b[4];
    if (s.Read(b, 4) != 4) return false;
    v = static_cast<int32_t>(static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                             static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24);
    return true;
}

bool WriteInt32(MBaseStream& s, int32_t v) {
    uint32_t u = static_cast<uint32_t>(v);
    uint8_t b[4] = {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u >> 16),
                    static_cast<uint8_t>(u >> 24)};
    return s.Write(b, 4);
}

// Reads exactly n bytes at offset; fewer at the end of the file.
int64_t ReadAt(int fd, uint8_t* buf, int64_t n, int64_t offset) {
    int64_t done = 0;
    while (done < n) {
        ssize_t r = ::pread(fd, buf + done, static_cast<size_t>(n - done), offset + done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += r;
    }
    return done;
}

// Read-only view of bytes already in memory: loading needs no copy and no lock per read.
class SpanStream final : public MBaseStream {
public:
    SpanStream(const uint8_t* data, size_t size) : m_data(data), m_size(static_cast<int64_t>(size)) {}
    bool Write(const void*, int32_t) override { return false; }
    int64_t Seek(int64_t pos) override {
        if (pos < 0 || pos > m_size) return -1;
        m_position = pos;
        return pos;
    }
    int64_t GetPosition() override { return m_position; }
    int64_t GetSize() override { return m_size; }
    int32_t Read(void* buf, int32_t len) override {
        if (!buf || len < 0) return -1;
        int64_t n = std::min<int64_t>(len, m_size - m_position);
        if (n > 0) std::memcpy(buf, m_data + m_position, static_cast<size_t>(n));
        m_position += n;
        return static_cast<int32_t>(n);
    }

private:
    const uint8_t* m_data;
    int64_t m_size;
    int64_t m_position = 0;
};

// Beyond this many children, a key set without a consistent order keeps the merge sort's result
// instead of the quadratic repair below.
constexpr size_t kMaxRepairChildren = 1024;

} // namespace

MVarArray::MVarArray(const MVarArray& other) {
    m_key.CopyFrom(other.m_key);
    m_value.CopyFrom(other.m_value);
    m_children.reserve(other.m_children.size());
    for (const auto& c : other.m_children) m_children.push_back(std::make_unique<MVarArray>(*c));
}

MVarArray& MVarArray::operator=(MVarArray&& other) noexcept {
    if (this == &other) return *this;
    // Everything is taken out first: `other` may be one of this node's own descendants.
    MVariant key, value;
    key.Swap(other.m_key);
    value.Swap(other.m_value);
    std::vector<std::unique_ptr<MVarArray>> children = std::move(other.m_children);
    other.m_children.clear();
    m_key.Swap(key);
    m_value.Swap(value);
    m_children = std::move(children);
    return *this;
}

int MVarArray::Locate(const MVariant& key, int& insertAt) const {
    int n = Count();
    if (n == 0) {
        insertAt = 0;
        return -1;
    }
    int first = MVariant::Order(key, m_children.front()->m_key);
    if (first < 0) {
        insertAt = 0;
        return -1;
    }
    int last = n > 1 ? MVariant::Order(key, m_children.back()->m_key) : first;
    if (last == 1) {
        insertAt = n;
        return -1;
    }
    if (first == 0) return 0;
    if (last == 0) return n - 1;
    int lo = 0, hi = n - 1;
    while (lo + 1 < hi) {
        int mid = (lo + hi) / 2;
        int c = MVariant::Order(key, m_children[static_cast<size_t>(mid)]->m_key);
        if (c == 0) return mid;
        if (c < 0)
            hi = mid;
        else
            lo = mid; // greater, or unordered against a NaN
    }
    insertAt = lo + 1;
    return -1;
}

int MVarArray::IndexOf(const MVariant& key, bool insert) {
    int at = 0;
    int found = Locate(key, at);
    if (found >= 0 || !insert) return found;
    auto child = std::make_unique<MVarArray>();
    child->m_key.CopyFrom(key);
    m_children.insert(m_children.begin() + at, std::move(child));
    return at;
}

int MVarArray::IndexOf(const MVariant& key) const {
    int at = 0;
    return Locate(key, at);
}

const MVarArray* MVarArray::Find(const MVariant& key) const {
    int i = IndexOf(key);
    return i >= 0 ? &Child(i) : nullptr;
}

MVarArray* MVarArray::Find(const MVariant& key) {
    int i = IndexOf(key, false);
    return i >= 0 ? &Child(i) : nullptr;
}

MVarArray* MVarArray::FindByValue(const MVariant& value) {
    for (auto& c : m_children)
        if (c->m_value.Equal(value)) return c.get();
    return nullptr;
}

const MVarArray* MVarArray::FindByValue(const MVariant& value) const {
    return const_cast<MVarArray*>(this)->FindByValue(value);
}

bool MVarArray::Delete(int i) {
    if (i < 0 || i >= Count()) return false;
    m_children.erase(m_children.begin() + i);
    return true;
}

bool MVarArray::Resize(int n) {
    if (n < 0) n = 0;
    size_t target = static_cast<size_t>(n);
    if (target <= m_children.size()) {
        m_children.resize(target);
        return true;
    }
    try {
        m_children.reserve(target);
        while (m_children.size() < target) m_children.push_back(std::make_unique<MVarArray>());
        return true;
    } catch (const std::bad_alloc&) {
        m_children.clear();
        m_children.shrink_to_fit();
        return false;
    }
}

void MVarArray::CopyTo(MVarArray& target) const {
    if (&target == this) return;
    // Copy first: the target may be inside this tree or hold it.
    MVarArray copy(*this);
    target.m_value.Swap(copy.m_value);
    target.m_children.swap(copy.m_children);
}

bool MVarArray::Contains(const MVarArray* node) const {
    if (node == this) return true;
    for (const auto& c : m_children)
        if (c->Contains(node)) return true;
    return false;
}

void MVarArray::MergeInto(MVarArray& target) const {
    // Merging a tree into itself or into a part of itself would walk children it is inserting.
    if (Contains(&target) || target.Contains(this)) {
        MVarArray snapshot(*this);
        snapshot.MergeNode(target);
    } else {
        MergeNode(target);
    }
}

void MVarArray::MergeNode(MVarArray& target) const {
    target.m_value.Assign(m_value);
    for (const auto& c : m_children) c->MergeNode(target.Item(c->m_key));
}

bool MVarArray::SaveImage(MBaseStream& stream) const {
    return SaveNode(stream, 0);
}

bool MVarArray::SaveNode(MBaseStream& stream, int depth) const {
    // A tree the loader would cut short is not written: that would lose data silently.
    if (m_children.size() > static_cast<size_t>(kMaxChildren)) return false;
    if (!m_children.empty() && depth >= kMaxDepth) return false;
    if (!WriteInt32(stream, static_cast<int32_t>(m_children.size()))) return false;
    if (!m_key.WriteTo(stream) || !m_value.WriteTo(stream)) return false;
    for (const auto& c : m_children)
        if (!c->SaveNode(stream, depth + 1)) return false;
    return true;
}

bool MVarArray::LoadImage(MBaseStream& stream) {
    try {
        return LoadNode(stream, 0) == LoadResult::kOk;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

MVarArray::LoadResult MVarArray::LoadNode(MBaseStream& stream, int depth) {
    int32_t count = 0;
    MVariant key, value;
    if (!ReadInt32(stream, count) || !key.ReadFrom(stream) || !value.ReadFrom(stream))
        return LoadResult::kNothing;
    m_key.Swap(key);
    m_value.Swap(value);
    m_children.clear();
    if (count < 0 || count > kMaxChildren) count = 0;
    if (count == 0) return LoadResult::kOk;
    if (depth >= kMaxDepth) return LoadResult::kPartial;
    // Children are added as they are read, and never more are reserved than the bytes left
    // could hold, so a false count costs no memory.
    int64_t left = std::max<int64_t>(0, stream.GetSize() - stream.GetPosition());
    m_children.reserve(static_cast<size_t>(std::min<int64_t>(count, left / kMinNodeBytes)));
    LoadResult result = LoadResult::kOk;
    for (int32_t i = 0; i < count; ++i) {
        auto child = std::make_unique<MVarArray>();
        LoadResult r = child->LoadNode(stream, depth + 1);
        if (r != LoadResult::kNothing) m_children.push_back(std::move(child));
        if (r != LoadResult::kOk) {
            result = LoadResult::kPartial;
            break;
        }
    }
    SortLoadedChildren(); // also after a failure, so that lookups work on what was read
    return result;
}

void MVarArray::SortLoadedChildren() {
    auto inOrder = [this] {
        for (size_t i = 1; i < m_children.size(); ++i)
            if (KeyLess(m_children[i], m_children[i - 1])) return false;
        return true;
    };
    if (m_children.size() < 2 || inOrder()) return;
    // Stable, and safe with comparisons that are not transitive (keys of mixed types).
    std::stable_sort(m_children.begin(), m_children.end(), KeyLess);
    if (m_children.size() > kMaxRepairChildren || inOrder()) return;
    // Mixed keys (say 2, "10" and "15x") can compare in a cycle; insertion puts every neighbour
    // pair in order, so a saved and reloaded tree keeps its order.
    for (size_t i = 1; i < m_children.size(); ++i)
        for (size_t j = i; j > 0 && KeyLess(m_children[j], m_children[j - 1]); --j)
            std::swap(m_children[j], m_children[j - 1]);
}

bool MVarArray::SaveToFile(const MString& path) const {
    MStream image;
    if (!SaveImage(image)) return false;
    if (NativePath(path).empty()) return false;
    // Written beside the old file and renamed over it, so that a failed save leaves the old one.
    MString temp = path + u".new";
    std::string nativeTemp = NativePath(temp);
    MFileHandle file(CreateForWrite(temp));
    bool direct = !file.IsOpen();
    if (direct) file.Reset(CreateForWrite(path)); // a folder we may not create files in
    if (!file.IsOpen()) return false;
    bool ok = image.WriteToFile(file.Get(), true);
    ok = ok && ::fsync(file.Get()) == 0;
    ok = file.Close() && ok;
    if (direct) return ok;
    if (ok && ::rename(nativeTemp.c_str(), NativePath(path).c_str()) == 0) return true;
    ::unlink(nativeTemp.c_str());
    return false;
}

bool MVarArray::LoadFromFile(const MString& path) {
    MFileHandle file(OpenForRead(path));
    if (!file.IsOpen()) return false;
    uint8_t head[4];
    if (ReadAt(file.Get(), head, 4, 0) != 4) return false;
    int32_t length =
        static_cast<int32_t>(static_cast<uint32_t>(head[0]) | static_cast<uint32_t>(head[1]) << 8 |
                             static_cast<uint32_t>(head[2]) << 16 | static_cast<uint32_t>(head[3]) << 24);
    if (length >= 0) {
        // Plain image: a cut file still yields what it holds, and reports failure. The buffer
        // grows with the bytes actually read, never to a length word's promise.
        std::vector<uint8_t> bytes;
        try {
            while (bytes.size() < static_cast<size_t>(length)) {
                size_t have = bytes.size();
                size_t chunk =
                    std::min(static_cast<size_t>(length) - have, std::max<size_t>(have, 64 * 1024));
                bytes.resize(have + chunk);
                int64_t got = ReadAt(file.Get(), bytes.data() + have, static_cast<int64_t>(chunk),
                                     4 + static_cast<int64_t>(have));
                bytes.resize(have + static_cast<size_t>(got));
                if (got < static_cast<int64_t>(chunk)) break;
            }
        } catch (const std::bad_alloc&) {
            return false;
        }
        SpanStream image(bytes.data(), bytes.size());
        bool loaded = LoadImage(image);
        return loaded && bytes.size() == static_cast<size_t>(length);
    }
    // Packed image: nothing in it can be trusted unless the whole block passes its checks.
    if (::lseek(file.Get(), 0, SEEK_SET) != 0) return false;
    MStream stream;
    if (!stream.ReadFromFile(file.Get(), true)) return false;
    SpanStream image(stream.Data(), static_cast<size_t>(stream.GetSize()));
    return LoadImage(image);
}
