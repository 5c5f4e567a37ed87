#include "core/MVariant.h"

#include "core/MBaseStream.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

namespace {

int Sign(int c) {
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

template <class T>
int OrderOf(const T& a, const T& b) {
    return a < b ? -1 : b < a ? 1 : 0;
}

int OrderDoubles(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return 2;
    return OrderOf(a, b);
}

bool FitsInt32(double d) {
    return d >= -2147483648.0 && d <= 2147483647.0;
}

// Truncation toward zero, saturated; NaN gives 0.
int64_t TruncToInt64(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 9223372036854775807.0) return INT64_MAX;
    if (d <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64_t>(d);
}

bool WriteLE(MBaseStream& s, uint64_t v, int bytes) {
    uint8_t b[8];
    for (int i = 0; i < bytes; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
    return s.Write(b, bytes);
}

bool ReadLE(MBaseStream& s, uint64_t& v, int bytes) {
    uint8_t b[8];
    if (s.Read(b, bytes) != bytes) return false;
    v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(b[i]) << (8 * i);
    return true;
}

} // namespace

MVariant& MVariant::operator=(MVariant&& source) {
    if (this == &source) {
        Assign(source);
    } else if (source.EffectiveType() == source.GetType()) {
        m_value = std::move(source.m_value);
    } else {
        Assign(source);
    }
    return *this;
}

void MVariant::Assign(const MVariant& source) {
    switch (source.EffectiveType()) {
        case kEmpty:
            m_value = std::monostate{};
            break;
        case kInt:
            m_value = source.AsInt();
            break;
        case kDouble:
            m_value = source.AsDouble();
            break;
        case kString:
            if (this != &source) m_value = *source.StringPtr();
            break;
        case kBlob:
            if (this != &source) m_value = *source.BlobPtr();
            break;
        case kCompact:
            if (this != &source) m_value = *source.CompactPtr();
            break;
    }
}

MVariant::Type MVariant::EffectiveType() const {
    switch (GetType()) {
        case kDouble: {
            double d = std::get<double>(m_value);
            return FitsInt32(d) && d == std::trunc(d) ? kInt : kDouble;
        }
        case kString: {
            const MString& s = std::get<MString>(m_value);
            if (s.IsIntegerText()) return kInt;
            if (s.IsDecimalText() && std::isfinite(s.ToDouble())) return kDouble;
            return kString;
        }
        case kCompact: {
            int len = std::get<MCompactInt>(m_value).Length();
            return len < 4 ? kInt : len < 8 ? kDouble : kCompact;
        }
        default:
            return GetType();
    }
}

int32_t MVariant::AsInt() const {
    switch (GetType()) {
        case kInt:
            return std::get<int32_t>(m_value);
        case kDouble: {
            int64_t v = TruncToInt64(std::get<double>(m_value));
            return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
        }
        case kString: // the low 32 bits, as a 32-bit store of the 64-bit value
            return static_cast<int32_t>(static_cast<uint32_t>(std::get<MString>(m_value).ToInt64()));
        case kCompact:
            return std::get<MCompactInt>(m_value).ToInt32();
        default:
            return 0;
    }
}

double MVariant::AsDouble() const {
    switch (GetType()) {
        case kInt:
            return std::get<int32_t>(m_value);
        case kDouble:
            return std::get<double>(m_value);
        case kString:
            return std::get<MString>(m_value).ToDouble();
        case kCompact:
            return static_cast<double>(std::get<MCompactInt>(m_value).ToInt64());
        default:
            return 0.0;
    }
}

MString MVariant::AsString() const {
    switch (GetType()) {
        case kInt:
            return MString::FromInt(std::get<int32_t>(m_value));
        case kDouble:
            return MString::FromDouble(std::get<double>(m_value));
        case kString:
            return std::get<MString>(m_value);
        case kBlob:
            return MString(u"BLOB");
        case kCompact:
            return MString(std::get<MCompactInt>(m_value).ToHexString());
        default:
            return {};
    }
}

MCompactInt MVariant::AsCompact() const {
    switch (GetType()) {
        case kInt:
            return MCompactInt(std::get<int32_t>(m_value));
        case kDouble:
            return MCompactInt(TruncToInt64(std::get<double>(m_value)));
        case kString:
            return MCompactInt(std::get<MString>(m_value).ToInt64());
        case kCompact:
            return std::get<MCompactInt>(m_value);
        default:
            return MCompactInt();
    }
}

int MVariant::Order(const MVariant& a, const MVariant& b) {
    Type ta = a.GetType(), tb = b.GetType();
    if (ta == tb) {
        switch (ta) {
            case kInt:
                return OrderOf(std::get<int32_t>(a.m_value), std::get<int32_t>(b.m_value));
            case kDouble:
                return OrderDoubles(std::get<double>(a.m_value), std::get<double>(b.m_value));
            case kString:
                return Sign(std::get<MString>(a.m_value).Compare(std::get<MString>(b.m_value)));
            case kBlob: {
                // By content, so that equal blobs compare equal and the order is reproducible.
                const auto& x = std::get<MBlob>(a.m_value).Bytes();
                const auto& y = std::get<MBlob>(b.m_value).Bytes();
                return OrderOf(x, y);
            }
            case kCompact:
                return OrderOf(std::get<MCompactInt>(a.m_value), std::get<MCompactInt>(b.m_value));
            default:
                return 0;
        }
    }
    // A blob has no conversion to another type: blobs and other values are ordered by tag.
    if (ta == kBlob || tb == kBlob) return ta < tb ? -1 : 1;
    Type common = std::max(a.EffectiveType(), b.EffectiveType());
    switch (common) {
        case kInt:
            return OrderOf(a.AsInt(), b.AsInt());
        case kDouble:
            return OrderDoubles(a.AsDouble(), b.AsDouble());
        case kString:
            return Sign(a.AsString().Compare(b.AsString()));
        case kCompact:
            return OrderOf(a.AsCompact(), b.AsCompact());
        default:
            return 0;
    }
}

bool MVariant::WriteTo(MBaseStream& stream) const {
    Type t = GetType();
    if (!WriteLE(stream, static_cast<uint32_t>(t), 4)) return false;
    switch (t) {
        case kInt:
            return WriteLE(stream, static_cast<uint32_t>(std::get<int32_t>(m_value)), 4);
        case kDouble: {
            uint64_t bits;
            double d = std::get<double>(m_value);
            std::memcpy(&bits, &d, 8);
            return WriteLE(stream, bits, 8);
        }
        case kString:
            return std::get<MString>(m_value).WriteTo(stream);
        case kBlob: {
            const MBlob& blob = std::get<MBlob>(m_value);
            if (blob.Size() > static_cast<size_t>(INT32_MAX)) return false;
            int32_t n = static_cast<int32_t>(blob.Size());
            return WriteLE(stream, static_cast<uint32_t>(n), 4) && (n == 0 || stream.Write(blob.Data(), n));
        }
        case kCompact:
            return std::get<MCompactInt>(m_value).WriteTo(stream) > 0;
        default:
            return true;
    }
}

bool MVariant::ReadFrom(MBaseStream& stream) {
    m_value = std::monostate{};
    uint64_t raw;
    if (!ReadLE(stream, raw, 4)) return false;
    switch (static_cast<int32_t>(raw)) {
        case kEmpty:
            return true;
        case kInt:
            if (!ReadLE(stream, raw, 4)) return false;
            m_value = static_cast<int32_t>(static_cast<uint32_t>(raw));
            return true;
        case kDouble: {
            if (!ReadLE(stream, raw, 8)) return false;
            double d;
            std::memcpy(&d, &raw, 8);
            m_value = d;
            return true;
        }
        case kString: {
            MString s;
            if (!s.ReadFrom(stream)) return false;
            m_value = std::move(s);
            return true;
        }
        case kBlob: {
            if (!ReadLE(stream, raw, 4)) return false;
            int32_t n = static_cast<int32_t>(static_cast<uint32_t>(raw));
            // The count must fit in what the stream still holds before anything is allocated.
            if (n < 0 || n > stream.GetSize() - stream.GetPosition()) return false;
            try {
                MBlob blob;
                blob.Bytes().resize(static_cast<size_t>(n));
                if (n > 0 && stream.Read(blob.Data(), n) != n) return false;
                m_value = std::move(blob);
            } catch (const std::bad_alloc&) {
                return false;
            }
            return true;
        }
        case kCompact: {
            MCompactInt c;
            if (c.ReadFrom(stream) <= 0) return false;
            m_value = c;
            return true;
        }
        default:
            return false; // unknown tag: the size of what follows is unknown
    }
}
