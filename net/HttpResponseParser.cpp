#include "net/HttpResponseParser.h"

#include <algorithm>

namespace {

bool IsTokenChar(unsigned char c) {
    if (c >= '0' && c <= '9') return true;
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

std::string_view TrimOws(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

int HexValue(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Digits only, no sign, no blanks inside; false on overflow of 64 bits.
bool ParseLength(std::string_view text, uint64_t& value) {
    if (text.empty()) return false;
    uint64_t v = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return false;
        const auto d = static_cast<uint64_t>(ch - '0');
        if (v > (UINT64_MAX - d) / 10) return false;
        v = v * 10 + d;
    }
    value = v;
    return true;
}

// True when the comma-separated list holds the token (case-insensitive).
bool ListHas(std::string_view list, std::string_view token) {
    while (!list.empty()) {
        const size_t comma = list.find(',');
        if (EqualsNoCase(TrimOws(list.substr(0, comma)), token)) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

} // namespace

std::string_view HttpResponseParser::HeaderValue(const std::vector<std::string>& lines,
                                                 std::string_view name) {
    for (const std::string& line : lines) {
        const size_t colon = line.find(':');
        if (colon != std::string::npos && EqualsNoCase(std::string_view(line).substr(0, colon), name))
            return TrimOws(std::string_view(line).substr(colon + 1));
    }
    return {};
}

void HttpResponseParser::Reset(uint64_t maxBodyBytes) {
    *this = HttpResponseParser(maxBodyBytes);
}

bool HttpResponseParser::Fail(const char* why) {
    m_state = State::Failed;
    m_error = why;
    return false;
}

size_t HttpResponseParser::Feed(const uint8_t* data, size_t length) {
    size_t used = 0;
    while (used < length) {
        const size_t before = used;
        switch (m_state) {
            case State::Headers:
                used += FeedHeaders(data + used, length - used);
                break;
            case State::Body:
                if (m_framing == Framing::Chunked) {
                    used += FeedChunked(data + used, length - used);
                } else {
                    size_t take = length - used;
                    if (m_framing == Framing::Length)
                        take = static_cast<size_t>(std::min<uint64_t>(take, m_remaining));
                    const size_t took = AppendBody(data + used, take);
                    used += took;
                    if (took < take) return used;
                    if (m_framing == Framing::Length) {
                        m_remaining -= take;
                        if (m_remaining == 0) m_state = State::Complete;
                    }
                }
                break;
            case State::Complete:
            case State::Failed:
                return used;
        }
        if (m_state == State::Failed) return used;
        if (used == before) break; // nothing taken: wait for more bytes
    }
    return used;
}

void HttpResponseParser::Finish(bool orderly) {
    if (IsDone()) return;
    if (m_state == State::Body && m_framing == Framing::UntilClose && orderly) {
        m_state = State::Complete;
        return;
    }
    if (m_state == State::Headers)
        Fail(m_headerTotal == 0 ? "connection ended without a response"
                                : "connection ended inside the headers");
    else
        Fail(orderly ? "connection closed before the body was complete"
                     : "connection broken before the body was complete");
}

size_t HttpResponseParser::AppendBody(const uint8_t* data, size_t length) {
    const uint64_t room = m_maxBody - std::min<uint64_t>(m_body.size(), m_maxBody);
    const size_t take = static_cast<size_t>(std::min<uint64_t>(length, room));
    m_body.append(reinterpret_cast<const char*>(data), take);
    if (take < length) Fail("body larger than the limit");
    return take;
}

// Lines end with LF, a CR before it is dropped; a bare CR inside a line is refused. The first
// line is the status line, an empty line ends the block.
size_t HttpResponseParser::FeedHeaders(const uint8_t* data, size_t length) {
    size_t i = 0;
    while (i < length) {
        const auto c = static_cast<char>(data[i++]);
        if (++m_headerTotal > kMaxHeaderBytes) {
            Fail("headers longer than the limit");
            return i;
        }
        if (c != '\n') {
            m_headerText += c;
            continue;
        }
        std::string line = std::move(m_headerText);
        m_headerText.clear();
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find('\r') != std::string::npos || line.find('\0') != std::string::npos) {
            Fail("control character in the headers");
            return i;
        }
        if (m_status == 0) { // status line: HTTP/1.x SP 3DIGIT [SP reason]
            const std::string_view s(line);
            if (s.size() < 12 || s.substr(0, 7) != "HTTP/1." || s[7] < '0' || s[7] > '9' || s[8] != ' ' ||
                (s.size() > 12 && s[12] != ' ')) {
                Fail("no HTTP/1.x status line");
                return i;
            }
            int status = 0;
            for (int k = 9; k < 12; ++k) {
                if (s[k] < '0' || s[k] > '9') {
                    Fail("no HTTP/1.x status line");
                    return i;
                }
                status = status * 10 + (s[k] - '0');
            }
            if (status < 100) {
                Fail("no HTTP/1.x status line");
                return i;
            }
            m_status = status;
            m_http11 = s[7] != '0';
            continue;
        }
        if (line.empty()) {
            if (!HeadersDone()) return i;
            if (m_state != State::Headers) return i; // body (or the end) follows
            continue;                                // an interim response: the real one follows
        }
        if (line[0] == ' ' || line[0] == '\t') {
            Fail("folded header line");
            return i;
        }
        const size_t colon = line.find(':');
        if (colon == 0 || colon == std::string::npos) {
            Fail("header line without a name");
            return i;
        }
        for (size_t k = 0; k < colon; ++k)
            if (!IsTokenChar(static_cast<unsigned char>(line[k]))) {
                Fail("bad character in a header name");
                return i;
            }
        m_headers.push_back(std::move(line));
    }
    return i;
}

bool HttpResponseParser::HeadersDone() {
    if (m_status >= 100 && m_status < 200) {
        if (m_status == 101) return Fail("the server switched protocols");
        m_status = 0; // interim response: its headers are dropped, the final one follows
        m_headers.clear();
        return true;
    }

    std::string connection;
    std::string coding;
    bool hasLength = false;
    uint64_t length = 0;
    for (const std::string& line : m_headers) {
        const size_t colon = line.find(':');
        const std::string_view name = std::string_view(line).substr(0, colon);
        const std::string_view value = TrimOws(std::string_view(line).substr(colon + 1));
        if (EqualsNoCase(name, "Content-Length")) {
            uint64_t v = 0;
            if (!ParseLength(value, v)) return Fail("Content-Length is not a number");
            if (hasLength && v != length) return Fail("conflicting Content-Length values");
            hasLength = true;
            length = v;
        } else if (EqualsNoCase(name, "Transfer-Encoding")) {
            if (!coding.empty()) coding += ',';
            coding += value;
        } else if (EqualsNoCase(name, "Connection")) {
            if (!connection.empty()) connection += ',';
            connection += value;
        }
    }
    m_keepAlive = ListHas(connection, "close") ? false : (m_http11 || ListHas(connection, "keep-alive"));

    if (m_status == 204 || m_status == 304) {
        m_framing = Framing::None;
        m_state = State::Complete;
        return true;
    }
    if (!coding.empty()) {
        // A length beside a transfer coding is the classic way to smuggle a second response.
        if (hasLength) return Fail("both Content-Length and Transfer-Encoding");
        if (!EqualsNoCase(TrimOws(coding), "chunked")) return Fail("unsupported Transfer-Encoding");
        m_framing = Framing::Chunked;
        m_state = State::Body;
        return true;
    }
    if (hasLength) {
        if (length > m_maxBody) return Fail("body larger than the limit");
        m_framing = Framing::Length;
        m_remaining = length;
        m_body.reserve(static_cast<size_t>(std::min<uint64_t>(length, 64 * 1024)));
        m_state = length == 0 ? State::Complete : State::Body;
        return true;
    }
    m_framing = Framing::UntilClose;
    m_keepAlive = false;
    m_state = State::Body;
    return true;
}

size_t HttpResponseParser::FeedChunked(const uint8_t* data, size_t length) {
    size_t i = 0;
    auto fail = [&](const char* why) {
        Fail(why);
        return i;
    };
    while (i < length && m_state == State::Body) {
        if (m_chunk == Chunk::Data) {
            const size_t take = static_cast<size_t>(std::min<uint64_t>(length - i, m_remaining));
            i += AppendBody(data + i, take); // fits: the size was checked against the limit

            m_remaining -= take;
            if (m_remaining == 0) m_chunk = Chunk::DataCR;
            continue;
        }
        const unsigned char c = data[i++];
        switch (m_chunk) {
            case Chunk::Size: {
                if (++m_chunkLine > kMaxChunkLineBytes) return fail("chunk size line too long");
                const int d = HexValue(c);
                if (d >= 0) {
                    if (++m_chunkDigits > kMaxChunkSizeDigits) return fail("chunk size has too many digits");
                    m_remaining = m_remaining * 16 + static_cast<uint64_t>(d);
                } else if (m_chunkDigits == 0) {
                    return fail("chunk size missing");
                } else if (c == '\r') {
                    m_chunk = Chunk::SizeLF;
                } else if (c == ';') {
                    m_chunk = Chunk::Extension;
                } else if (c == ' ' || c == '\t') {
                    m_chunk = Chunk::SizeBlank;
                } else {
                    return fail("bad character in a chunk size");
                }
                break;
            }
            case Chunk::SizeBlank: // blanks after the size: only more blanks, an extension or the end
                if (++m_chunkLine > kMaxChunkLineBytes) return fail("chunk size line too long");
                if (c == '\r')
                    m_chunk = Chunk::SizeLF;
                else if (c == ';')
                    m_chunk = Chunk::Extension;
                else if (c != ' ' && c != '\t')
                    return fail("bad character in a chunk size");
                break;
            case Chunk::Extension: // extensions are skipped
                if (++m_chunkLine > kMaxChunkLineBytes) return fail("chunk size line too long");
                if (c == '\r')
                    m_chunk = Chunk::SizeLF;
                else if (c == '\n' || c == '\0')
                    return fail("bad character in a chunk extension");
                break;
            case Chunk::SizeLF:
                if (c != '\n') return fail("chunk size line not ended by CRLF");
                m_chunkLine = 0;
                m_chunkDigits = 0;
                if (m_remaining == 0) {
                    m_chunk = Chunk::Trailer;
                } else if (m_remaining > m_maxBody - std::min<uint64_t>(m_body.size(), m_maxBody)) {
                    return fail("body larger than the limit");
                } else {
                    m_chunk = Chunk::Data;
                }
                break;
            case Chunk::DataCR:
                if (c != '\r') return fail("chunk data not followed by CRLF");
                m_chunk = Chunk::DataLF;
                break;
            case Chunk::DataLF:
                if (c != '\n') return fail("chunk data not followed by CRLF");
                m_chunk = Chunk::Size;
                break;
            case Chunk::Trailer:
                if (++m_headerTotal > kMaxHeaderBytes || ++m_chunkLine > kMaxChunkLineBytes)
                    return fail("trailer longer than the limit");
                if (c == '\r')
                    m_chunk = Chunk::TrailerLF;
                else if (c == '\n' || c == '\0')
                    return fail("bad character in the trailer");
                break;
            case Chunk::TrailerLF:
                if (c != '\n') return fail("trailer line not ended by CRLF");
                if (m_chunkLine == 1) { // only the CR: the empty line that ends the message
                    m_state = State::Complete;
                    return i;
                }
                m_chunkLine = 0;
                m_chunk = Chunk::Trailer;
                break;
            case Chunk::Data:
                break;
        }
    }
    return i;
}
