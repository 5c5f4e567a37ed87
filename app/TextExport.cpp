#include "app/TextExport.h"

#include "analysis/BeatSeriesLoader.h"
#include "analysis/ParamTable.h"
#include "analysis/VariabilityCore.h"
#include "core/FileUtils.h"
#include "core/MVarArray.h"
#include "dsp/TimeInterpolator.h"
#include "storage/PGFiles.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <memory>
#include <string_view>
#include <unistd.h>

namespace {

constexpr const char* kCodePage = "CP1251";
constexpr std::string_view kCrLf = "\r\n";

// Truncated toward zero; NaN gives 0 and values beyond int64 saturate.
int64_t Trunc64(double v) {
    if (!(v == v)) return 0;
    if (v >= 9.2e18) return INT64_MAX;
    if (v <= -9.2e18) return INT64_MIN;
    return static_cast<int64_t>(v);
}

MString Int(int64_t v) {
    return MString::FromInt(v);
}

// Buffered writer of the export file; remembers the first failed write.
class ExportSink {
public:
    explicit ExportSink(int fd) : m_fd(fd) { m_buffer.reserve(kBufferSize + 64); }

    void Put(std::string_view bytes) {
        m_buffer.append(bytes);
        if (m_buffer.size() >= kBufferSize) Flush();
    }
    void PutText(const MString& text) { Put(std::string_view(text.ToCodePage(kCodePage))); }
    // The decimal text of v followed by the delimiter.
    void PutValue(int64_t v, std::string_view delimiter) {
        char digits[24];
        const auto r = std::to_chars(digits, digits + sizeof digits, v);
        m_buffer.append(digits, r.ptr);
        m_buffer.append(delimiter);
        if (m_buffer.size() >= kBufferSize) Flush();
    }
    void Flush() {
        const char* p = m_buffer.data();
        size_t left = m_buffer.size();
        while (left > 0 && m_error == 0) {
            const ssize_t w = ::write(m_fd, p, left);
            if (w < 0) {
                if (errno == EINTR) continue;
                m_error = errno;
            } else if (w == 0) {
                m_error = EIO;
            } else {
                p += w;
                left -= size_t(w);
            }
        }
        m_buffer.clear();
    }
    int Error() const { return m_error; }

private:
    static constexpr size_t kBufferSize = 1 << 20;
    int m_fd;
    int m_error = 0;
    std::string m_buffer;
};

// The record's start as local date and time ("dd.MM.yyyy H:mm:ss").
MString LocalDateTime(int64_t unixSeconds) {
    const time_t t = static_cast<time_t>(unixSeconds);
    struct tm local {};
    if (!::localtime_r(&t, &local)) return {};
    char text[80];
    std::snprintf(text, sizeof text, "%02d.%02d.%04d %d:%02d:%02d", local.tm_mday, local.tm_mon + 1,
                  local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
    return MString(text);
}

// Start information and fragment lines.
MString HeaderStart(PGFiles& record, double start, double end) {
    MString h;
    const MString startKey(u"RecordStartT");
    const MString tickKey(u"Start GetTickCount()");
    if (record.Metadata.Contains(startKey)) {
        const MString& stored = record.Metadata.Value(startKey);
        h += u"Запись произведена:\r\n";
        h += LocalDateTime(stored.ToInt64());
        h += u"\r\nМетка начала записи time(nullptr):\r\n";
        h += stored;
        h += u"\r\n";
    }
    if (record.Metadata.Contains(tickKey)) {
        h += u"Метка начала записи GetTickCount():\r\n";
        h += record.Metadata.Value(tickKey);
        h += u"\r\n";
    }
    h += u"Начало фрагмента (относительно начала записи, сек):\r\n";
    h += Int(Trunc64(start));
    h += u"\r\nДлительность фрагмента (сек):\r\n";
    h += Int(Trunc64(end - start));
    h += u"\r\n";
    return h;
}

// The pieces of the pulse wave: the fragment is cut into pieces of fewer than 5000 output
// samples, each read and resampled on its own. Every pass walks the same pieces and output
// times, so the header count, the time stamps and the amplitudes agree.
struct PulsePieces {
    double start, end, length, step;
    int64_t count;

    PulsePieces(double s, double e, double rate) : start(s), end(e), step(1.0 / rate) {
        const int64_t n = Trunc64((e - s) * rate);
        count = n / kExportPieceSamples + 1;
        length = (e - s) / double(count);
    }
    // f(k, t0, t1) for every piece.
    template <class F>
    void ForEach(F&& f) const {
        double t0 = start;
        for (int64_t k = 0; k < count; ++k) {
            const double t1 = std::min(t0 + length, end);
            f(k, t0, t1);
            t0 = t1;
        }
    }
    // f(q) for the output times of a piece.
    template <class F>
    void ForEachTime(double t0, double t1, F&& f) const {
        for (double q = t0; q < t1; q += step) f(q);
    }
};

// Resamples one piece of the record into the sink. ×1000 signal units, truncated.
void WritePiece(PGFiles& record, TimeInterpolator& interpolator, const PulsePieces& pieces, double t0,
                double t1, ExportSink& sink, std::string_view delimiter) {
    record.SeekTime(t0, false);
    // Enough room for every input sample of the piece, so none is overwritten (long pieces at
    // low export rates hold more than the usual capacity).
    int capacity = kExportInterpolatorCapacity;
    const uint16_t periodMs = record.StampFields().periodMs;
    if (periodMs > 0) {
        const double expected = (t1 - t0) * 1000.0 / periodMs + 1024.0;
        if (expected > capacity) capacity = int(std::min<double>(expected, TimeInterpolator::kMaxCapacity));
    }
    interpolator.SetCapacity(capacity);
    constexpr int32_t kBlock = 1024;
    double values[kBlock], times[kBlock];
    for (bool more = true; more;) {
        const int32_t got = record.ReadSamples(values, times, kBlock);
        if (got <= 0) break;
        for (int32_t j = 0; j < got; ++j) {
            if (!(times[j] < t1)) {
                more = false;
                break;
            }
            interpolator.Push(times[j], values[j], true);
        }
    }
    pieces.ForEachTime(t0, t1, [&](double q) { sink.PutValue(Trunc64(interpolator.ValueAt(q)), delimiter); });
}

} // namespace

void LoadExportOptions(const MVarArray& settings, ExportOptions& options) {
    if (const MVarArray* f = settings.Find(MVariant(kExportSampleFKey)))
        options.sampleF = std::clamp(f->Value().AsInt(), kExportMinRate, kExportMaxRate);
    if (const MVarArray* d = settings.Find(MVariant(kExportDelimiterKey)))
        options.delimiter = d->Value().AsString();
    if (const MVarArray* c = settings.Find(MVariant(kExportPulseKey)))
        options.pulse = c->Value().AsInt() != 0;
    if (const MVarArray* c = settings.Find(MVariant(kExportRRKey))) options.rr = c->Value().AsInt() != 0;
    if (const MVarArray* c = settings.Find(MVariant(kExportTimeStampsKey)))
        options.timeStamps = c->Value().AsInt() != 0;
}

void SetWholeRecordFragment(ExportOptions& options, const PGFiles& record) {
    if (record.StartTime() < 0 || record.EndTime() < 0) {
        options.start = options.end = 0;
        return;
    }
    options.start = double(Trunc64(record.StartTime()));
    options.end = double(Trunc64(record.EndTime()));
}

bool ApplyExportRateText(ExportOptions& options, const MString& text, MVarArray* settings) {
    if (!text.IsIntegerText()) return false;
    const int64_t v = text.ToInt64();
    options.sampleF = double(std::clamp<int64_t>(v, kExportMinRate, kExportMaxViewRate));
    if (settings) settings->Item(MVariant(kExportSampleFKey)).Value() = MVariant(options.sampleF);
    return true;
}

void ApplyExportDelimiterText(ExportOptions& options, const MString& text, MVarArray* settings) {
    MString d;
    if (text.IsEmpty()) {
        d = MString(u" ");
    } else {
        for (int i = 0; i < text.Length(); ++i) {
            if (text[i] == u'n')
                d += MString(u"\r\n");
            else
                d += text[i];
        }
    }
    options.delimiter = d;
    // Stored as it is: a delimiter that reads as a number (a digit, say) must stay text.
    if (settings) settings->Item(MVariant(kExportDelimiterKey)).Value().CopyFrom(MVariant(d));
}

MString ExportDelimiterEditText(const MString& delimiter) {
    MString shown = delimiter;
    shown.Replace(MString(u"\r\n"), MString(u"n"), false);
    return shown;
}

void StoreExportSwitches(const ExportOptions& options, MVarArray& settings) {
    settings.Item(MVariant(kExportPulseKey)).Value() = MVariant(int32_t(options.pulse ? 1 : 0));
    settings.Item(MVariant(kExportRRKey)).Value() = MVariant(int32_t(options.rr ? 1 : 0));
    settings.Item(MVariant(kExportTimeStampsKey)).Value() = MVariant(int32_t(options.timeStamps ? 1 : 0));
}

double ApplyExportFragmentPositions(ExportOptions& options, int startPos, int endPos, double endTime) {
    options.start = startPos;
    options.end = endPos;
    if (options.start > options.end) options.end = std::min(options.start + 5.0, endTime);
    return options.end;
}

double ExportSizeEstimate(const ExportOptions& o) {
    const double length = o.end - o.start;
    const double d = o.delimiter.Length();
    double total = 0;
    if (o.pulse) total += length * o.sampleF * (d + 3);
    if (o.rr) total += length * 1.3 * (d + 3);
    if (o.timeStamps) total += length * o.sampleF * (d + 8);
    return total;
}

MString ExportSizeText(double estimate) {
    return Int(Trunc64(estimate) / 1000) + MString(u" kB");
}

ExportResult WriteExport(const MString& path, const ExportOptions& options, PGFiles& record,
                         const ExportProgress& progress) {
    ExportResult result;
    const double rate = options.sampleF;
    if (!(rate > 0) || !std::isfinite(rate)) {
        result.message = kExportWriteFailedMessage;
        result.reason = "the sample rate must be positive";
        return result;
    }
    const double start = std::isfinite(options.start) ? options.start : 0.0;
    // An end before the start is an empty fragment.
    const double end = std::isfinite(options.end) && options.end > start ? options.end : start;

    MFileHandle file(CreateForWrite(path));
    if (!file.IsOpen()) {
        result.message = kExportCreateFailedMessage;
        result.reason = "cannot create " + NativePath(path) + ": " + std::strerror(errno);
        return result;
    }
    ExportSink sink(file.Get());
    const std::string delimiter = options.delimiter.ToCodePage(kCodePage);
    MString header = HeaderStart(record, start, end);

    if (options.pulse) {
        const PulsePieces pieces(start, end, rate);
        int64_t exported = 0;
        pieces.ForEach([&](int64_t, double t0, double t1) { exported += Trunc64((t1 - t0) / pieces.step); });
        result.samples = exported;

        header += u"Значения выражены в условных единицах. Частота дискретизации (Гц):\r\n";
        header += Int(Trunc64(rate));
        header += u"\r\nКоличество экспортированных сэмплов:\r\n";
        header += Int(exported);
        if (options.timeStamps) header += u"\r\nМетки времени сэмплов выражены в микросекундах.";
        sink.PutText(header);
        sink.Put(kCrLf);
        header.Clear();

        if (options.timeStamps) {
            sink.Put("#Time\r\n");
            pieces.ForEach([&](int64_t, double t0, double t1) {
                pieces.ForEachTime(
                    t0, t1, [&](double q) { sink.PutValue(Trunc64(q * 1'000'000.0 + 0.5), delimiter); });
            });
            sink.Put(kCrLf);
        }

        sink.Put("#Amp\r\n");
        auto interpolator = std::make_unique<TimeInterpolator>();
        interpolator->SetTransform(0, 1000);
        pieces.ForEach([&](int64_t k, double t0, double t1) {
            if (sink.Error() != 0) return;
            WritePiece(record, *interpolator, pieces, t0, t1, sink, delimiter);
            if (progress) progress(int(k * 100 / pieces.count));
        });
        sink.Put(kCrLf);
        sink.Put(kCrLf);
    }

    if (options.rr && sink.Error() == 0) {
        auto core = std::make_unique<VariabilityCore>();
        LoadFragmentBeats(*core, record);
        const int i0 = core->IndexAtTime(float(start));
        const int i1 = core->IndexAtTime(float(end));
        core->Compute(i0, i1);
        const int m = i1 - i0;
        if (m > 0) {
            result.rrIntervals = m;
            header += u"Количество экспортированных кардиоинтервалов:\r\n";
            header += Int(m);
            header += u"\r\nДлительности кардиоинтервалов выражены в миллисекундах:";
            sink.PutText(header);
            sink.Put(kCrLf);
            for (int i = i0; i < i1; ++i)
                sink.PutValue(Trunc64(double(core->BeatAt(i).rr) * 1000.0), delimiter);
            sink.Put(kCrLf);
            sink.Put(kCrLf);
            MString lines;
            ForEachParamRow(core->Table(), [&](const ParamRowView& row) {
                lines += row.Name();
                lines += u" = ";
                lines += row.ValueText();
                lines += u"\r\n";
                ++result.parameters;
            });
            sink.PutText(lines);
            sink.Put(kCrLf);
        }
    }

    sink.Flush();
    int error = sink.Error();
    if (!file.Close() && error == 0) error = errno ? errno : EIO;
    if (error != 0) {
        result.message = kExportWriteFailedMessage;
        result.reason = "cannot write " + NativePath(path) + ": " + std::strerror(error);
        return result;
    }
    if (progress) progress(100);
    result.ok = true;
    return result;
}
