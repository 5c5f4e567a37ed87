#include "net/MHTTP.h"

#include "net/HttpUrl.h"

#include <algorithm>

namespace {

bool IsToken(const std::u16string& s) {
    if (s.empty()) return false;
    for (char16_t c : s) {
        const bool ok = (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                        std::u16string_view(u"!#$%&'*+-.^_`|~").find(c) != std::u16string_view::npos;
        if (!ok) return false;
    }
    return true;
}

// "name:" at the start of the line, the name compared in lower case.
bool LineHasName(const MString& line, const MString& name) {
    if (line.Length() <= name.Length() || line[name.Length()] != u':') return false;
    MString head = line.Substr(0, name.Length());
    MString lowerName = name;
    return head.ToLower().Equals(lowerName.ToLower());
}

} // namespace

MHTTP::MHTTP() = default;

MHTTP::~MHTTP() {
    Shutdown(); // the worker uses the members below
}

bool MHTTP::SetHeader(const MString& name, const MString& value) {
    if (name.IsEmpty() || value.IsEmpty() || !IsToken(name.Str())) return false;
    for (char16_t c : value.Str())
        if (c == u'\r' || c == u'\n' || c == u'\0') return false;
    const MString line = name + MString(u": ") + value;
    for (MString& existing : m_requestHeaders)
        if (LineHasName(existing, name)) {
            existing = line;
            return true;
        }
    m_requestHeaders.push_back(line);
    return true;
}

MString MHTTP::GetHeader(const std::vector<MString>& lines, const MString& name) {
    for (const MString& line : lines)
        if (LineHasName(line, name)) {
            MString value = line.Substr(name.Length() + 1, line.Length());
            value.Trim();
            return value;
        }
    return {};
}

std::string MHTTP::BuildRequest(const std::string& host, const std::string& target) {
    SetHeader(u"Accept", u"*/*");
    SetHeader(u"Accept-Language", u"ru-RU");
    SetHeader(u"Accept-Encoding", u"identity, chunked");
    SetHeader(u"User-Agent", u"MHTTP as client by Tarnwell");
    SetHeader(u"Connection", u"Keep-Alive");
    SetHeader(u"Host", MString(host));
    if (GetHeader(m_requestHeaders, u"Content-Length").IsEmpty()) SetHeader(u"Content-Length", u"0");
    std::string text = "GET " + target + " HTTP/1.1\r\n";
    for (const MString& line : m_requestHeaders) text += line.ToUtf8() + "\r\n";
    text += "\r\n";
    m_requestHeaders.clear();
    return text;
}

MHTTP::sResponse MHTTP::Get(const MString& url, NetDeadline deadline) {
    std::lock_guard request(m_requestLock);
    deadline = std::min(deadline, DeadlineAfter(m_timeout));
    sResponse out;
    m_responseHeaders.clear();

    sHttpUrl target;
    switch (ParseHttpUrl(url, target)) {
        case UrlStatus::Ok:
            break;
        case UrlStatus::Https:
            out.result = Result::BadAddress;
            out.error = "https addresses are not supported (no TLS)";
            m_requestHeaders.clear();
            return out;
        case UrlStatus::Unsupported:
            out.result = Result::BadAddress;
            out.error = "not an http address";
            m_requestHeaders.clear();
            return out;
        case UrlStatus::Invalid:
            out.result = Result::BadAddress;
            out.error = "malformed address";
            m_requestHeaders.clear();
            return out;
    }
    const std::string bytes = BuildRequest(target.host, target.target);

    for (int attempt = 0; attempt < 2; ++attempt) {
        const bool reuse = m_reusable && IsConnected() && target.host == m_host && target.port == m_port;
        if (!reuse) {
            Close();
            m_reusable = false;
            m_host = target.host;
            m_port = target.port;
            SetConnectTimeout(m_timeout);
            if (Connect(MString(target.host), target.port, deadline) != 0) {
                out.result = Result::ConnectionError;
                out.error = NetClock::now() >= deadline ? "connecting timed out" : "could not connect";
                return out;
            }
        }
        out.reusedConnection = reuse;

        std::unique_lock rx(m_rxLock);
        m_parser.Reset(m_maxBody);
        m_rxBytes = 0;
        m_inFlight = true;
        if (m_linkEnded) m_parser.Finish(m_endReason == EndReason::PeerClosed);
        rx.unlock();

        m_send.Clear();
        if (m_send.Put(bytes.data(), static_cast<int>(bytes.size())) < 0) {
            out.error = "request too large";
            Close();
            return out;
        }
        WakeWorker();

        rx.lock();
        const auto finished = [this] { return m_parser.IsDone(); };
        bool done = true;
        if (deadline == kNoDeadline)
            m_rxReady.wait(rx, finished);
        else
            done = m_rxReady.wait_until(rx, deadline, finished);
        m_inFlight = false;
        if (!done) {
            rx.unlock();
            Close(); // the connection is in an unknown state
            out.result = Result::TimedOut;
            out.error = "no complete response in time";
            return out;
        }
        if (m_parser.GetState() == HttpResponseParser::State::Failed) {
            // A kept-alive connection that the server had closed meanwhile: once more on a fresh one.
            const bool stale = reuse && m_rxBytes == 0 &&
                               (m_endReason == EndReason::PeerClosed || m_endReason == EndReason::Error);
            out.error = m_parser.Error();
            rx.unlock();
            Close();
            m_reusable = false;
            if (stale && attempt == 0) continue;
            out.result = Result::Failed;
            return out;
        }
        out.result = Result::Ok;
        out.status = m_parser.StatusCode();
        out.body = m_parser.TakeBody();
        for (const std::string& line : m_parser.HeaderLines()) out.headers.emplace_back(line);
        const bool keep = m_parser.KeepAlive() && !m_excess && !m_linkEnded;
        rx.unlock();
        m_reusable = keep;
        if (!keep) Close();
        m_responseHeaders = out.headers;
        out.error.clear();
        return out;
    }
    out.result = Result::Failed;
    return out;
}

MString MHTTP::Request(const MString& url) {
    sResponse r = Get(url);
    if (r.result == Result::Ok) return MString::FromUtf8(r.body);
    if (r.result == Result::ConnectionError) return MString(kConnectionError);
    return {};
}

void MHTTP::Reset() {
    m_send.Clear();
    std::lock_guard rx(m_rxLock);
    m_excess = false;
    m_rxReady.notify_all();
}

void MHTTP::OnConnected() {
    std::lock_guard rx(m_rxLock);
    m_linkEnded = false;
    m_endReason = EndReason::Aborted;
    m_excess = false;
}

int MHTTP::Produce(int maxBytes, uint8_t* buffer) {
    return m_send.Get(buffer, maxBytes);
}

int MHTTP::Consume(int length, const uint8_t* data) {
    std::lock_guard rx(m_rxLock);
    if (!m_inFlight || m_parser.IsDone()) {
        m_excess = true; // nobody asked: the connection cannot carry another request
        return -1;
    }
    m_rxBytes += static_cast<uint64_t>(length);
    const size_t used = m_parser.Feed(data, static_cast<size_t>(length));
    if (m_parser.IsDone()) m_rxReady.notify_all();
    if (m_parser.GetState() == HttpResponseParser::State::Failed) return -1; // stop reading
    if (used < static_cast<size_t>(length)) {
        m_excess = true; // bytes beyond the response
        return -1;
    }
    return 0;
}

void MHTTP::OnDisconnect(EndReason reason) {
    std::lock_guard rx(m_rxLock);
    m_linkEnded = true;
    m_endReason = reason;
    if (m_inFlight) m_parser.Finish(reason == EndReason::PeerClosed);
    m_rxReady.notify_all();
}
