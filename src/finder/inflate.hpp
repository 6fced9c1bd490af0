// Decompression that hands out its output a piece at a time, never more than
// kPiece bytes at once: a stream that inflates without end is stopped by its
// reader at the reader's bound, not by the host's memory. The standard
// library's decompressors do the work (zlib, bz2, lzma, asked for bounded
// output).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "runtime/ref.hpp"

namespace pic::finder {

class Inflater {
public:
    enum class Method {
        stored,        // as it is
        deflate,       // raw deflate: zip's method 8
        bzip2,         // zip's method 12
        lzma,          // zip's method 14: a 4-byte header and the properties, then raw LZMA1
        gzip,          // Content-Encoding: gzip
        http_deflate,  // Content-Encoding: deflate, zlib-wrapped or (as some servers send it) raw
    };
    static constexpr Py_ssize_t kPiece = 256 << 10;

    explicit Inflater(Method method) : method_(method) {}

    // Called with each piece of output (a bytes object); returns false to stop.
    using Out = std::function<bool(const Object&)>;

    // Decompresses `input` (bytes). False when `out` asked to stop.
    bool feed(const Object& input, const Out& out);

    // The stream's end marker was seen (the stored method has none).
    bool ended() const { return ended_; }

private:
    bool ready(const Object& input, Object& rest);
    bool drain_zlib(Object data, const Out& out);
    bool drain_buffered(Object data, const Out& out);

    Method method_;
    Object decompressor_;
    std::string head_;  // bytes held until the decompressor can be made
    bool ended_ = false;
};

// The decoder a Content-Encoding header asks for: null for none (the header
// absent, or "identity" only), gzip ("gzip", "x-gzip") or deflate; a
// ValueError naming `url` for any other, which this does not decode.
std::unique_ptr<Inflater> content_decoder(const std::string& codings, const Object& url);

}  // namespace pic::finder
