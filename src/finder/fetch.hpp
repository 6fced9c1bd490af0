// Requests through a finder's own HTTP session, so that its authentication,
// certificates and trusted hosts apply. Only unearth's fetcher protocol is
// used: `get_stream(url, headers=...)` as a context manager, and a response
// with `status_code`, `headers`, `iter_bytes()` and `raise_for_status()`;
// that is common to the httpx client of older unearth releases and the
// client of newer ones. Where the response also has `iter_raw()` (both do),
// the body is read as sent and decoded here, a piece at a time.
//
// Every request of this road is bounded in time (Pace), follows redirects
// itself (open_stream), and reads its body chunk by chunk (Body), checking
// at every chunk the stop flag of the executor call (cancellation.hpp).
#pragma once

#include <chrono>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "finder/cancellation.hpp"
#include "finder/digests.hpp"
#include "finder/inflate.hpp"
#include "runtime/coroutine.hpp"
#include "runtime/ref.hpp"

namespace pic::finder {

struct Session {
    Object session;  // finder.session
    Object headers;  // finder.headers (may be null): sent with every request of the finder
    // The session's own read time-out, which bounds each request of this road
    // in all; the JSON road's 10 s when it has none.
    double timeout;

    explicit Session(const Object& finder);

    // The finder's headers plus `extra` (name, value), as a new dict.
    Object headers_with(std::initializer_list<std::pair<const char*, const char*>> extra) const;
};

// How long a request may take: `total` for the small reads (it must be done
// within the time), `progress` for the download of a whole wheel (at least
// `bytes` must arrive in every period, as curl's --speed-limit).
class Pace {
public:
    static Pace total(double seconds) { return Pace(seconds, -1); }
    static Pace progress(int64_t bytes, double seconds) { return Pace(seconds, bytes); }

    // TimeoutError when the request is out of time, `arrived` more bytes having come.
    void check(const Object& url, int64_t arrived = 0);

private:
    using Clock = std::chrono::steady_clock;
    Pace(double seconds, int64_t least)
        : seconds_(seconds), least_(least), since_(Clock::now()) {}

    double seconds_;
    int64_t least_;  // -1: a total
    Clock::time_point since_;
    int64_t arrived_ = 0;
};

// An answer whose body is still to be read, and the `__exit__` that closes it.
struct Opened {
    Object exit;
    Object response;
};

// Sends the GET and follows redirects (301, 302, 303, 307, 308), at most
// limits::kRedirects and only to http and https URLs; the headers go along
// (Range too), but not Authorization or Cookie once the target is another
// origin, as the finder's HTTP client does. The first answer that is not a
// redirect is returned open.
Opened open_stream(const Session& session, const Object& url, const Object& headers, Pace& pace);

// with session.get_stream(url, headers=headers) as response: return read(response)
// (redirects followed, see open_stream).
template <class Read>
auto with_stream(const Session& s, const Object& url, const Object& headers, Pace& pace, Read read) {
    Opened opened = open_stream(s, url, headers, pace);
    try {
        auto result = read(opened.response);
        opened.exit(Py_None, Py_None, Py_None);
        return result;
    } catch (...) {
        PyError error = python_error(std::current_exception());
        opened.exit(error.type(), error.value(), error.traceback());  // closes the response; its own error wins
        throw;
    }
}

// response.status_code (the finder client's name) as a C++ long
long stream_status(const Object& response);

// response.headers.get(name): the text, or "" when the header is absent.
std::string header(const Object& response, const char* name);

// raise_for_status(), and a ValueError for a status it lets pass that is not `wanted`.
void expect_status(const Object& response, long wanted);

// The announced Content-Length, or -1 when there is none (or it is no number).
int64_t content_length(const Object& response);

// The body of a response, chunk by chunk as it arrives: decoded when the
// server encoded it (gzip or deflate, although asked for identity), a piece at
// a time; another Content-Encoding is an error. With `decode` false the
// chunks are handed on as the server sent them, where the client allows that.
class Body {
public:
    Body(const Object& response, const Object& url, bool decode = true);

    // take(piece) for each piece of the body, a bytes object, until the body
    // ends or take returns false. At every chunk that arrives the stop flag is
    // checked, and `pace` with the chunk's size as sent.
    template <class Take>
    void each(Pace& pace, Take take);

    int64_t received() const { return received_; }  // bytes as sent
    // The pieces are the bytes the server sent, still in its Content-Encoding
    // (a body not to be decoded here, read from a client that hands them so).
    bool as_sent() const { return as_sent_; }

private:
    Object url_;
    Object chunks_;  // the iterator
    std::unique_ptr<Inflater> inflater_;
    int64_t received_ = 0;
    bool as_sent_ = false;
};

template <class Take>
void Body::each(Pace& pace, Take take) {
    stop_if_cancelled();
    pace.check(url_);
    Inflater::Out out = [&](const Object& piece) { return bool(take(piece)); };
    for (Object chunk : iterate(chunks_)) {
        stop_if_cancelled();
        if (!PyBytes_Check(chunk.get())) raise(PyExc_TypeError, "a response chunk that is not bytes");
        received_ += PyBytes_GET_SIZE(chunk.get());
        pace.check(url_, PyBytes_GET_SIZE(chunk.get()));
        if (!(inflater_ ? inflater_->feed(chunk, out) : out(chunk))) return;
    }
}

// The hashes a file link carries that hashlib knows: from the fragment of its
// URL (`#sha256=...`) and its `hashes` (JSON pages), as {name: hex digest}.
Object link_hashes(const Object& link);

}  // namespace pic::finder
