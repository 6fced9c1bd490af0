// The PEP 440 version grammar as packaging's Version accepts it (its
// alternative spellings, white space around), on ASCII text, with the parts
// its comparison key is made of. Plain C++: both extension modules link it,
// the client for ordering releases (pep440.cpp), quorvel_master._native for
// reading versions out of file names (pages/filename.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace pic::fastpath::pep440 {

// Numbers of up to 18 digits fit a key; a version with a longer one is
// "oversized", left to the library where a key is wanted.
inline constexpr std::size_t kMaxDigits = 18;

// str.isspace on ASCII: what \s matches around a version.
inline bool is_space(char c) {
    return static_cast<unsigned char>(c) <= ' ' && (c == ' ' || (c >= '\t' && c <= '\r') || c >= '\x1c');
}

struct LocalPart {
    bool number;
    std::uint64_t value;    // when number
    std::string_view text;  // when not: as written; compared lower-cased
};

// packaging's comparison key: (epoch, release without trailing zeros,
// (pre_rank, pre_n, post_rank, post_n, dev_rank, dev_n)[, local]).
struct Key {
    std::uint64_t epoch = 0;
    std::uint32_t release_at = 0, release_count = 0;  // into Parts::numbers
    int pre_rank = 3;
    std::uint64_t pre_n = 0;
    int post_rank = 0;
    std::uint64_t post_n = 0;
    int dev_rank = 1;
    std::uint64_t dev_n = 0;
    bool has_local = false;
    std::uint32_t local_at = 0, local_count = 0;  // into Parts::locals
};

// The numbers and local parts of many keys, one after another.
struct Parts {
    std::vector<std::uint64_t> numbers;
    std::vector<LocalPart> locals;
};

struct Parsed {
    bool valid = false;      // the whole text is a version
    bool oversized = false;  // a number of more than kMaxDigits digits was read (the key is not whole)
};

// Reads `text` (white space around allowed). With `parts`, the key's numbers
// and local parts are appended there (left behind on an invalid text: the
// caller truncates); without, only whether it is a version is found.
Parsed parse(std::string_view text, Key& key, Parts* parts);

// parse(text, key, nullptr).valid, without a key.
bool is_version(std::string_view text);

// Tuple comparison of two keys whose parts are in `parts`, as packaging's __lt__ orders them.
int compare(const Parts& parts, const Key& a, const Key& b);

}  // namespace pic::fastpath::pep440
