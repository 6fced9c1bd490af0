// The inputs on which each stand-in must answer exactly as its library call.
// UTF-8, decoded with "surrogatepass" (so "\xed\xa0\x80" is a lone U+D800);
// string_view keeps embedded NULs. Chosen where the grammars have edges: case
// folding beyond ASCII, white space beyond ASCII, line breaks that "." does and
// does not cross, empty groups, and for versions every segment, spelling and
// separator, equal versions written differently, and near misses.
#pragma once

#include <span>
#include <string_view>

#include "runtime/ref.hpp"

namespace pic::fastpath::probes {

using namespace std::string_view_literals;

inline constexpr std::string_view kNames[] = {
    ""sv, "requests"sv, "Foo__Bar.baz"sv, "a-_-b"sv, "_private"sv, "-"sv, "--"sv, "._-"sv, "a..b"sv,
    "A.B_C-D"sv, "zope.interface"sv, "trailing_"sv, "MiXeD-Case.Name"sv, "a\0b_c"sv,
    "\xc4\xb0NDEX_\xce\xa3.\xce\xa3"sv,   // İNDEX_Σ.Σ: lower() lengthens İ and gives final sigma
    "\xc3\x9f_\xe1\xba\x9e"sv,            // ß_ẞ
    "\xe2\x84\xaa-\xe2\x84\xab"sv,        // Kelvin sign, Angstrom sign
    "\xc7\x85.\xef\xac\x81"sv,            // ǅ.ﬁ
    "a\xe2\x80\xa8-b"sv, "x\xc2\xa0_y"sv, "\xf0\x9d\x90\x80_A"sv, "\xed\xa0\x80_B"sv,
};

inline constexpr std::string_view kUrls[] = {
    ""sv, "/{version}"sv, "http://h/pypi/demo/{version}/json"sv, "http://h/pypi/demo/json"sv,
    "/{version}/{version}"sv, "//{version}"sv, "{version}"sv, "a{version}/{version}"sv, "/{version"sv,
    "/{Version}"sv, "/{version}}"sv, "/{{version}"sv, "/ {version}"sv, "/{version}/{version}v{version}"sv,
    "http://h/\xc3\xa9/{version}/json"sv, "/{versi\xc3\xb3n}"sv,
};

inline constexpr std::string_view kRequirements[] = {
    ""sv, "   "sv, "requests"sv, "requests[security,socks] >=2.0"sv, "foo (>=1.0)"sv, "foo [bar]"sv,
    "foo[]"sv, "foo[a,]"sv, "foo[ a , b ]"sv, "x[[y]]z"sv, "a[\n]b\nc"sv, "a\nb"sv, "a\r\nb"sv,
    "a[b]\xe2\x80\xa8>=1"sv, "a\xc2\x85" "b"sv, "@ file:///x"sv, "[x]"sv, "(x)"sv, "'x'"sv, "Foo_Bar.baz"sv,
    "name\xc3\xa9>=1"sv, "\xc3\xa9"sv, "a[b"sv, "a]b"sv, "a[b]]"sv, "a[]]"sv, "A-B_C.D[x]==1"sv,
    "zope.interface>=5; python_version < '3.8'"sv, "a\tb"sv, "a\0[b]"sv, "-._[x]"sv, "\xe2\x84\xaa[x]"sv,
};

inline constexpr std::string_view kMarkers[] = {
    ""sv, "extra"sv, "extra =="sv, "extra == 'dev'"sv, "extra==\"dev\""sv, "x; extra ==  'dev'"sv,
    "extra == ''"sv, "extra == 'open"sv, "extra =='a\""sv, "extra = 'x'"sv, "EXTRA == 'x'"sv,
    "extra == 'a' or extra == 'b'"sv, "extraextra == 'x'"sv, "extra ==\x1c\xc2\x85'q\""sv,
    "extra\xc2\xa0==\xe2\x80\xa8'x'"sv, "extra ==\n'x'"sv, "extra == x"sv, "extra == '"sv,
    "extra == 'x extra == \"y\""sv, "extra == '' or extra == 'b'"sv, "extra == '\xc3\xa9'"sv,
    "extra == '\xed\xb2\x80'"sv, "extra\xe2\x80\x8b== 'x'"sv, "extra == 'a\nb'"sv,
};

// Release keys, ordered together; each must be within what the native parser
// decides (no number beyond 18 digits, none of the four case-folding letters).
inline constexpr std::string_view kVersions[] = {
    // equal versions written differently
    "1.0"sv, "1.0.0"sv, "1"sv, "v1.0"sv, "V1.0"sv, " 1.0 "sv, "\t1.0\n"sv, "1.0\n\n"sv,
    "1.0\xc2\xa0"sv, "\xe2\x80\xa8" "1.0"sv, "01.00"sv, "1.0.0.0"sv,
    // release segments
    "0"sv, "000"sv, "0.9"sv, "0.10"sv, "0.0.1"sv, "1.2.3.4.5"sv, "2.0"sv, "9.0"sv, "10.0"sv,
    "999999999999999999"sv, "1.0.0.0.1"sv,
    // epochs
    "1!0.1"sv, "1!1.0"sv, "2!0.0.1"sv, "0!1.0"sv, "01!1.0"sv,
    // pre-releases, every spelling and separator
    "1.0a1"sv, "1.0a"sv, "1.0alpha1"sv, "1.0A1"sv, "1.0.a.1"sv, "1.0-a-1"sv, "1.0_a_1"sv, "1.0a01"sv,
    "1.0b2"sv, "1.0beta2"sv, "1.0Beta"sv, "1.0c1"sv, "1.0rc1"sv, "1.0pre1"sv, "1.0preview1"sv, "1.0RC1"sv,
    "1.0rc"sv, "1.0c"sv, "1.0pre"sv, "1.0preview"sv, "1.0rc2"sv, "1.0rc10"sv,
    // post-releases
    "1.0.post1"sv, "1.0post1"sv, "1.0-1"sv, "1.0-post1"sv, "1.0.r1"sv, "1.0rev1"sv, "1.0.post"sv,
    "1.0.post0"sv, "1.0-0"sv, "1.0.POST2"sv, "1.0_r_1"sv, "1.0.post.1"sv, "1.0post-3"sv,
    // dev releases, alone and after the others
    "1.0.dev1"sv, "1.0dev"sv, "1.0.dev0"sv, "1.0-dev1"sv, "1.0_DEV_2"sv, "1.0a1.dev1"sv, "1.0rc1.dev1"sv,
    "1.0.post1.dev1"sv, "1.0-dev"sv, "1.0rc1.post1"sv, "1.0rc1.post1.dev2"sv, "1.0a1.post1"sv,
    // local versions: words before numbers, numbers by value, shorter first
    "1.0+local"sv, "1.0+LOCAL"sv, "1.0+1"sv, "1.0+a.1"sv, "1.0+a"sv, "1.0+1.a"sv, "1.0+a-b_c"sv,
    "1.0+abc.5"sv, "1.0+abc.10"sv, "1.0+5"sv, "1.0+05"sv, "1.0+0"sv, "1.0.0+0"sv, "1.0+a.b.c"sv,
    "1.0.post1+x"sv, "1.0a1+x"sv, "1.0.dev1+x"sv, "1.0+Z"sv, "1.0+z1"sv,
    // invalid
    ""sv, " "sv, "latest"sv, "1..0"sv, "1.0."sv, ".1"sv, "1.0a-"sv, "1.0+"sv, "1.0+a..b"sv, "1.0+_a"sv,
    "v"sv, "1.0 a"sv, "1.0\xef\xac\x81"sv, "1.0\xc3\xa9"sv, "\xd9\xa1.0"sv, "1!"sv, "!1.0"sv, "1.0-"sv,
    "1.0abc"sv, "1.0++1"sv, "1.0+a+b"sv, "1.0rc1rc2"sv, "1.0a1b1"sv, "dev1"sv, "1.0.devx"sv,
    "1.0dev1.post1"sv, "1e5"sv, "1,0"sv, "1.0\0"sv, "vv1.0"sv, "1.0\xe2\x85\xb5"sv,
};

// Each beside a plain key: the keys a packaging release may read by case
// folding (poſt, prevıew, local K and İ) or not at all, where the native road
// must decline or agree.
inline constexpr std::string_view kFoldedVersions[][2] = {
    {"1.0po\xc5\xbft1"sv, "1.0.post1"sv},
    {"1.0prev\xc4\xb1" "ew1"sv, "1.0rc1"sv},
    {"1.0+\xe2\x84\xaa"sv, "1.0+k"sv},
    {"1.0+\xc4\xb0"sv, "1.0+i"sv},
    {"1.0+a\xc5\xbf"sv, "1.0+as"sv},
};

// A probe text as a str.
inline Object decode(std::string_view text) {
    return Object::steal(PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "surrogatepass"));
}

// Probe texts as a new list of str.
inline Object list_of(std::span<const std::string_view> texts) {
    Object list = new_list();
    for (std::string_view text : texts) append(list, decode(text));
    return list;
}

}  // namespace pic::fastpath::probes
