// Where the parts of a URL are, found once for everything that reads them: the
// masking of what is written (redact.hpp), the client's index URL comparison,
// and, through quorvel_master._native, the network layer's cache keys and the
// command line. The netloc is found where urllib.parse.urlsplit finds it.
#pragma once

#include <string>
#include <string_view>

#include "runtime/ref.hpp"

namespace pic::config {

namespace url {

inline constexpr std::size_t npos = std::string_view::npos;

// urlsplit deletes these anywhere in the URL before splitting it.
inline bool dropped(char c) { return c == '\t' || c == '\r' || c == '\n'; }

inline bool ascii_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

inline bool scheme_char(char c) {
    return ascii_alpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// The end of the scheme ("http" of "http:...") starting at `begin`, or npos
// when the text has none there.
std::size_t scheme_end(std::string_view url, std::size_t begin);

// The netloc runs from after "//" to the first '/', '?' or '#'.
std::size_t netloc_end(std::string_view text, std::size_t begin);

// The start of the netloc urlsplit finds in `url`, or npos. Works on the text
// as given: the leading C0 controls and spaces it strips, and the tabs and
// line breaks it deletes, are skipped over instead.
std::size_t netloc_start(std::string_view url);

}  // namespace url

// The length of url.rstrip("/\\") for a str.
Py_ssize_t rstripped_length(PyObject* url);

// url.rstrip("/\\"): an index URL as the client compares them; the same object
// when nothing is stripped.
Object strip_trailing_slashes(const Object& url);

// The URL without its user-info and fragment, scheme and host in lower case
// (ASCII): what a cache keys by and what a record of a request shows.
Object without_credentials(const Object& url);

// The user-info of the URL's netloc (all before its last '@'), or None.
Object user_info(const Object& url);

}  // namespace pic::config
