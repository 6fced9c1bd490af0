#include "finder/inflate.hpp"

#include <algorithm>
#include <cctype>
#include <cstdint>

#include "runtime/imports.hpp"

namespace pic::finder {

namespace {

Object bytes_of(std::string_view data) {
    return Object::steal(PyBytes_FromStringAndSize(data.data(), Py_ssize_t(data.size())));
}

Object zlib_decompressor(int wbits) {
    return import_module("zlib").call_method("decompressobj"_id, integer(wbits));
}

// zip's LZMA: the LZMA1 filter from its five property bytes (lc, lp and pb in
// the first, then the dictionary size).
Object lzma_decompressor(std::string_view properties) {
    auto byte = [&](size_t i) { return uint32_t(static_cast<unsigned char>(properties[i])); };
    if (properties.size() < 5 || byte(0) >= 9 * 5 * 5) raise(PyExc_ValueError, "Corrupt LZMA properties");
    uint32_t packed = byte(0);
    uint32_t dictionary = byte(1) | byte(2) << 8 | byte(3) << 16 | byte(4) << 24;
    Object lzma = import_module("lzma");
    Object filter = dict({{"id"_id, lzma.attr("FILTER_LZMA1"_id)},
                          {"dict_size"_id, Object::steal(PyLong_FromUnsignedLong(dictionary))},
                          {"lc"_id, integer(long(packed % 9))},
                          {"lp"_id, integer(long(packed / 9 % 5))},
                          {"pb"_id, integer(long(packed / 45))}});
    Object filters = new_list();
    append(filters, filter);
    return lzma.call_method("LZMADecompressor"_id, "format"_kw = lzma.attr("FORMAT_RAW"_id), "filters"_kw = filters);
}

// A zlib stream starts with a header whose two bytes, read as a big-endian
// number, are a multiple of 31 and name the deflate method.
bool zlib_wrapped(std::string_view head) {
    unsigned cmf = static_cast<unsigned char>(head[0]), flg = static_cast<unsigned char>(head[1]);
    return (cmf & 0x0F) == 8 && (cmf >> 4) <= 7 && (cmf << 8 | flg) % 31 == 0;
}

Py_ssize_t size_of(const Object& bytes) { return PyBytes_GET_SIZE(bytes.get()); }

}  // namespace

// Makes the decompressor once enough of the stream's head is there; `rest`
// is then what is left to decompress of the bytes seen so far.
bool Inflater::ready(const Object& input, Object& rest) {
    if (decompressor_ || method_ == Method::stored) {
        rest = input;
        return true;
    }
    switch (method_) {
    case Method::deflate:
        decompressor_ = zlib_decompressor(-15);
        break;
    case Method::gzip:
        decompressor_ = zlib_decompressor(16 + 15);
        break;
    case Method::bzip2:
        decompressor_ = import_module("bz2").attr("BZ2Decompressor"_id)();
        break;
    case Method::http_deflate:
        head_.append(PyBytes_AS_STRING(input.get()), size_t(size_of(input)));
        if (head_.size() < 2) return false;
        decompressor_ = zlib_decompressor(zlib_wrapped(head_) ? 15 : -15);
        rest = bytes_of(head_);
        head_.clear();
        return true;
    case Method::lzma: {
        head_.append(PyBytes_AS_STRING(input.get()), size_t(size_of(input)));
        if (head_.size() < 4) return false;
        size_t properties = static_cast<unsigned char>(head_[2]) | static_cast<unsigned char>(head_[3]) << 8;
        if (head_.size() < 4 + properties) return false;
        decompressor_ = lzma_decompressor(std::string_view(head_).substr(4, properties));
        rest = bytes_of(std::string_view(head_).substr(4 + properties));
        head_.clear();
        return true;
    }
    case Method::stored:
        break;
    }
    rest = input;
    return true;
}

bool Inflater::feed(const Object& input, const Out& out) {
    if (ended_) return true;  // what follows the end is not part of the stream
    Object data;
    if (!ready(input, data)) return true;
    if (method_ == Method::stored) return size_of(data) == 0 || out(data);
    if (method_ == Method::bzip2 || method_ == Method::lzma) return drain_buffered(std::move(data), out);
    return drain_zlib(std::move(data), out);
}

// zlib keeps the input it could not use for lack of room in `unconsumed_tail`.
bool Inflater::drain_zlib(Object data, const Out& out) {
    Object limit = Object::steal(PyLong_FromSsize_t(kPiece));
    for (;;) {
        Object made = decompressor_.call_method("decompress"_id, data, limit);
        bool full = size_of(made) == kPiece;
        if (size_of(made) && !out(made)) return false;
        if (decompressor_.attr("eof"_id).truthy()) {
            ended_ = true;
            return true;
        }
        data = decompressor_.attr("unconsumed_tail"_id);
        if (size_of(data) == 0 && !full) return true;
    }
}

// bz2 and lzma keep it inside, and say whether they need more.
bool Inflater::drain_buffered(Object data, const Out& out) {
    Object limit = Object::steal(PyLong_FromSsize_t(kPiece));
    for (;;) {
        Object made = decompressor_.call_method("decompress"_id, data, limit);
        if (size_of(made) && !out(made)) return false;
        if (decompressor_.attr("eof"_id).truthy()) {
            ended_ = true;
            return true;
        }
        if (decompressor_.attr("needs_input"_id).truthy()) return true;
        data = Object::steal(PyBytes_FromStringAndSize(nullptr, 0));
    }
}

std::unique_ptr<Inflater> content_decoder(const std::string& header, const Object& url) {
    std::string codings = header;
    std::transform(codings.begin(), codings.end(), codings.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    std::string coding;
    for (size_t begin = 0; begin <= codings.size();) {
        size_t end = std::min(codings.find(',', begin), codings.size());
        std::string one = codings.substr(begin, end - begin);
        one.erase(0, one.find_first_not_of(" \t"));
        one.erase(one.find_last_not_of(" \t") + 1);
        if (!one.empty() && one != "identity") {
            if (!coding.empty()) coding += ", ";
            coding += one;
        }
        begin = end + 1;
    }
    if (coding.empty()) return nullptr;
    if (coding == "gzip" || coding == "x-gzip") return std::make_unique<Inflater>(Inflater::Method::gzip);
    if (coding == "deflate") return std::make_unique<Inflater>(Inflater::Method::http_deflate);
    PyErr_Format(PyExc_ValueError, "%S came with Content-Encoding '%s', which this does not decode", url.get(),
                 coding.c_str());
    throw_error();
}

}  // namespace pic::finder
