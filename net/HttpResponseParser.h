#pragma once
// Incremental parser of one HTTP/1.1 response to a GET request. Bytes arrive in pieces of any size;
// the parser keeps a small state machine and never looks back at bytes it has passed, so the
// result does not depend on where the pieces were split.
//
// The body is delimited by Content-Length (digits only, 64-bit, duplicates must agree), by chunked
// transfer coding (hex sizes of at most 16 digits, CRLF after every chunk, complete only after the
// last chunk and the trailer section), or else by the end of the connection. A body cut short by
// the end of the connection fails unless the response had neither a length nor chunking and the
// peer closed in order. Interim 1xx responses are skipped; 204 and 304 carry no body.
//
// Not locked: the owner feeds it and reads it under its own lock.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class HttpResponseParser {
public:
    // Status line and header lines together (interim responses included).
    static constexpr size_t kMaxHeaderBytes = 64 * 1024;
    // Hex digits of a chunk size.
    static constexpr int kMaxChunkSizeDigits = 16;
    // One chunk-size line with its extensions, or one trailer line.
    static constexpr size_t kMaxChunkLineBytes = 4096;

    enum class State {
        Headers,  // status line and headers still to come
        Body,     // headers done, body still to come
        Complete, // the whole response is in
        Failed,   // the response breaks the rules or exceeds a limit; Error() says why
    };
    enum class Framing { None, Length, Chunked, UntilClose };

    explicit HttpResponseParser(uint64_t maxBodyBytes = 20'000'000) : m_maxBody(maxBodyBytes) {}

    // Starts over for a new response with the given body limit.
    void Reset(uint64_t maxBodyBytes);

    // Takes received bytes and returns how many belong to this response; bytes beyond the end of a
    // complete response are not taken. After Failed nothing more is taken.
    size_t Feed(const uint8_t* data, size_t length);
    size_t Feed(std::string_view bytes) {
        return Feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    // The connection ended: orderly = the peer closed it (end of stream) rather than a reset or
    // error. Completes a body that runs until the close, fails anything unfinished.
    void Finish(bool orderly);

    State GetState() const { return m_state; }
    bool IsDone() const { return m_state == State::Complete || m_state == State::Failed; }
    const std::string& Error() const { return m_error; }

    // Valid once the headers are in.
    int StatusCode() const { return m_status; }
    // Header lines of the final response ("Name: value", as received), without the status line.
    const std::vector<std::string>& HeaderLines() const { return m_headers; }
    Framing BodyFraming() const { return m_framing; }
    // The response allows the connection to carry another request.
    bool KeepAlive() const { return m_keepAlive; }
    // The body so far; the whole body once Complete.
    const std::string& Body() const { return m_body; }
    std::string TakeBody() { return std::move(m_body); }

    // Value of the first header whose name matches case-insensitively, with optional whitespace
    // around it removed; empty when there is none.
    static std::string_view HeaderValue(const std::vector<std::string>& lines, std::string_view name);

private:
    enum class Chunk { Size, SizeBlank, Extension, SizeLF, Data, DataCR, DataLF, Trailer, TrailerLF };

    bool Fail(const char* why);
    size_t FeedHeaders(const uint8_t* data, size_t length);
    size_t FeedChunked(const uint8_t* data, size_t length);
    bool HeadersDone(); // the blank line arrived: interpret status and headers
    size_t AppendBody(const uint8_t* data, size_t length); // what fits under the limit; fails beyond it

    uint64_t m_maxBody;
    State m_state = State::Headers;
    std::string m_error;

    std::string m_headerText; // current header block; ends with CRLF CRLF once complete
    size_t m_headerTotal = 0; // header bytes of this response, interim ones included
    int m_status = 0;
    bool m_http11 = false;
    std::vector<std::string> m_headers;
    Framing m_framing = Framing::None;
    bool m_keepAlive = false;

    uint64_t m_remaining = 0; // Length: body bytes still due; Chunked: bytes left of this chunk
    std::string m_body;

    Chunk m_chunk = Chunk::Size;
    int m_chunkDigits = 0;
    size_t m_chunkLine = 0; // bytes of the current size or trailer line
};
