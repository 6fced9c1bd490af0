// Requests through a finder's own HTTP session, so that its authentication,
// certificates and trusted hosts apply. Only unearth's fetcher protocol is
// used: `get_stream(url, headers=...)` as a context manager, and a response
// with `status_code`, `headers`, `iter_bytes()` and `raise_for_status()`;
// that is common to the httpx client of older unearth releases and the
// client of newer ones.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "runtime/coroutine.hpp"
#include "runtime/ref.hpp"

namespace pic::finder {

struct Session {
    Object session;  // finder.session
    Object headers;  // finder.headers (may be null): sent with every request of the finder

    explicit Session(const Object& finder);

    // The finder's headers plus `extra` (name, value), as a new dict.
    Object headers_with(std::initializer_list<std::pair<const char*, const char*>> extra) const;
};

// with session.get_stream(url, headers=headers) as response: return read(response)
template <class Read>
auto with_stream(const Session& s, const Object& url, const Object& headers, Read read) {
    Object manager = call_kw(s.session.attr("get_stream"_id), {url.get()}, {{"headers"_id, headers.get()}});
    Object exit = manager.attr("__exit__"_id);
    Object response = manager.call_method("__enter__"_id);
    try {
        auto result = read(response);
        exit(Py_None, Py_None, Py_None);
        return result;
    } catch (...) {
        PyError error = python_error(std::current_exception());
        exit(error.type(), error.value(), error.traceback());  // closes the response; its own error wins
        throw;
    }
}

long status_of(const Object& response);

// response.headers.get(name): the text, or "" when the header is absent.
std::string header(const Object& response, const char* name);

// raise_for_status(), and a ValueError for a status it lets pass that is not `wanted`.
void expect_status(const Object& response, long wanted);

// The digests a file must have, as {hashlib name: hex digest}. Names that
// hashlib does not know are left out; a non-empty `announced` of which none
// is known is an error, since nothing could be checked.
class Digests {
public:
    Digests(const Object& announced, const Object& url);
    bool empty() const { return expected_.empty(); }
    void update(const Object& chunk);
    void verify() const;  // ValueError on a mismatch

private:
    struct Entry {
        Object name, expected, hasher;
    };
    std::vector<Entry> expected_;
    Object url_;
};

// The hashes a file link carries that hashlib knows: from the fragment of its
// URL (`#sha256=...`) and its `hashes` (JSON pages), as {name: hex digest}.
Object link_hashes(const Object& link);

}  // namespace pic::finder
