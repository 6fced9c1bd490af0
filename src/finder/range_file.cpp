#include "finder/range_file.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <string_view>

#include "finder/cancellation.hpp"

namespace pic::finder {

namespace {

// A miss fetches at least this much: zipfile's next small reads are then hits.
constexpr int64_t kReadAhead = 64 * 1024;
// What a file may keep in memory. The end records decide how much of the
// directory is read, so a wheel that claims a huge directory must not make us
// hold it; real ones stay far below (thousands of members: a few MiB).
constexpr int64_t kMostKept = 64 << 20;

struct RangeFileObject {
    PyObject_HEAD
    RangeFile* file;
};

RangeFile& file_of(PyObject* self) { return *reinterpret_cast<RangeFileObject*>(self)->file; }

// "bytes FIRST-LAST/TOTAL" of a partial answer; nullopt for any other form
// ("bytes */TOTAL", an unknown total, garbage).
struct ContentRange {
    int64_t first, last, total;
};
std::optional<ContentRange> parse_content_range(std::string_view text) {
    constexpr std::string_view unit = "bytes ";
    if (text.substr(0, unit.size()) != unit) return std::nullopt;
    text.remove_prefix(unit.size());
    ContentRange r{};
    const char* p = text.data();
    const char* end = p + text.size();
    auto number = [&](int64_t& out, char after) {
        auto [next, ec] = std::from_chars(p, end, out);
        if (ec != std::errc() || next == p) return false;
        p = next;
        if (after == '\0') return p == end;
        if (p == end || *p != after) return false;
        ++p;
        return true;
    };
    if (!number(r.first, '-') || !number(r.last, '/') || !number(r.total, '\0')) return std::nullopt;
    if (r.first < 0 || r.first > r.last || r.last >= r.total) return std::nullopt;
    return r;
}

int64_t to_int64(const std::string& text, int64_t fallback) {
    int64_t value = 0;
    auto [next, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && next == text.data() + text.size() ? value : fallback;
}

[[noreturn]] void refuse(const Object& url) {
    // Not an OSError: zipfile would take that for "not a zip file" and hide it.
    PyErr_Format(PyExc_RuntimeError, "%S did not answer a range request with that range", url.get());
    throw_error();
}

}  // namespace

std::optional<std::string> RangeFile::usable_body(const Object& response, int64_t begin, int64_t end) {
    if (status_of(response) != 206) return std::nullopt;
    std::string encoding = header(response, "Content-Encoding");
    if (!encoding.empty() && encoding != "identity") return std::nullopt;
    auto range = parse_content_range(header(response, "Content-Range"));
    if (!range) return std::nullopt;
    bool tail = begin < 0;
    int64_t first = tail ? std::max<int64_t>(0, range->total + begin) : begin;
    int64_t last = tail ? range->total - 1 : std::min(end, size_) - 1;
    if (range->first != first || range->last != last || (!tail && range->total != size_)) return std::nullopt;
    int64_t length = last - first + 1;
    if (to_int64(header(response, "Content-Length"), length) != length) return std::nullopt;

    std::string body;
    body.reserve(size_t(length));
    for (Object chunk : iterate(response.call_method("iter_bytes"_id))) {
        char* data = nullptr;
        Py_ssize_t n = 0;
        check(PyBytes_AsStringAndSize(chunk.get(), &data, &n));
        if (int64_t(body.size()) + n > length) return std::nullopt;
        body.append(data, size_t(n));
    }
    if (int64_t(body.size()) != length) return std::nullopt;
    if (tail) size_ = range->total;
    return body;
}

bool RangeFile::take_tail(const Object& response, int64_t length) {
    auto body = usable_body(response, -length, 0);
    if (!body) return false;
    int64_t begin = size_ - int64_t(body->size());
    keep(begin, std::move(*body));
    return true;
}

void RangeFile::fetch(int64_t begin, int64_t end) {
    stop_if_cancelled();
    if (kept_ + (end - begin) > kMostKept) {
        PyErr_Format(PyExc_ValueError, "%S: reading it would hold more than %lld bytes of it in memory", url_.get(),
                     static_cast<long long>(kMostKept));
        throw_error();
    }
    std::string range = "bytes=" + std::to_string(begin) + "-" + std::to_string(end - 1);
    Object headers = session_.headers_with({{"Range", range.c_str()}, {"Accept-Encoding", "identity"}});
    auto body = with_stream(session_, url_, headers, [&](const Object& response) {
        long status = status_of(response);
        if (status != 200 && status != 206 && status != 416) response.call_method("raise_for_status"_id);
        return usable_body(response, begin, end);
    });
    if (!body) {
        refused_ = true;
        refuse(url_);
    }
    keep(begin, std::move(*body));
}

void RangeFile::keep(int64_t begin, std::string bytes) {
    kept_ += int64_t(bytes.size());
    int64_t end = begin + int64_t(bytes.size());
    // Merge with every span it touches, so spans stay disjoint.
    auto it = spans_.upper_bound(begin);
    if (it != spans_.begin()) {
        auto before = std::prev(it);
        if (before->first + int64_t(before->second.size()) >= begin) it = before;
    }
    while (it != spans_.end() && it->first <= end) {
        int64_t span_end = it->first + int64_t(it->second.size());
        if (it->first < begin) {
            bytes.insert(0, it->second, 0, size_t(begin - it->first));
            begin = it->first;
        }
        if (span_end > end) {
            bytes.append(it->second, size_t(end - it->first), std::string::npos);
            end = span_end;
        }
        it = spans_.erase(it);
    }
    spans_.emplace(begin, std::move(bytes));
}

const std::string* RangeFile::span_holding(int64_t offset, int64_t* span_begin) const {
    auto it = spans_.upper_bound(offset);
    if (it == spans_.begin()) return nullptr;
    --it;
    if (offset >= it->first + int64_t(it->second.size())) return nullptr;
    *span_begin = it->first;
    return &it->second;
}

void RangeFile::ensure(int64_t begin, int64_t end, int64_t read_ahead) {
    end = std::min(end, size_);
    int64_t span_begin = 0;
    // Only what is missing: skip a cached head and a cached tail of the range.
    if (const std::string* head = span_holding(begin, &span_begin)) begin = span_begin + int64_t(head->size());
    if (begin >= end) return;
    if (span_holding(end - 1, &span_begin)) end = span_begin;
    // Read ahead, up to the next cached span.
    auto next = spans_.upper_bound(begin);
    int64_t limit = next == spans_.end() ? size_ : next->first;
    end = std::max(end, std::min(begin + read_ahead, limit));
    fetch(begin, end);
}

Object RangeFile::read(int64_t size) {
    int64_t available = std::max<int64_t>(0, size_ - position_);
    int64_t n = size < 0 ? available : std::min(size, available);
    if (n == 0) return Object::steal(PyBytes_FromStringAndSize(nullptr, 0));
    ensure(position_, position_ + n, kReadAhead);
    int64_t span_begin = 0;
    const std::string* span = span_holding(position_, &span_begin);
    if (!span || span_begin + int64_t(span->size()) < position_ + n) {
        PyErr_SetString(PyExc_SystemError, "range cache misses a fetched range");
        throw_error();
    }
    Object bytes = Object::steal(PyBytes_FromStringAndSize(span->data() + (position_ - span_begin), n));
    position_ += n;
    return bytes;
}

int64_t RangeFile::seek(int64_t offset, int whence) {
    if (whence < 0 || whence > 2) {
        PyErr_Format(PyExc_ValueError, "invalid whence (%d, should be 0, 1 or 2)", whence);
        throw_error();
    }
    int64_t base = whence == 0 ? 0 : whence == 1 ? position_ : size_;
    if (base + offset < 0) {
        errno = EINVAL;
        PyErr_SetFromErrno(PyExc_OSError);  // as a file does: zipfile expects it
        throw_error();
    }
    position_ = base + offset;
    return position_;
}

int RangeFile::traverse(visitproc visit, void* arg) {
    Py_VISIT(session_.session.get());
    Py_VISIT(session_.headers.get());
    Py_VISIT(url_.get());
    return 0;
}

void RangeFile::clear() {
    session_.session = nullptr;
    session_.headers = nullptr;
    url_ = nullptr;
}

// -- the Python type --------------------------------------------------------------

namespace {

// Runs a method body; a PyError becomes the set error indicator.
template <class Body>
PyObject* guarded(Body body) {
    try {
        return body().release();
    } catch (const PyError& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return nullptr;
}

PyObject* file_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&] {
        if (nargs > 1) raise(PyExc_TypeError, "read() takes at most 1 argument");
        int64_t size = -1;
        if (nargs == 1 && args[0] != Py_None) {
            size = PyLong_AsLongLong(args[0]);
            if (size == -1 && PyErr_Occurred()) throw_error();
        }
        return file_of(self).read(size);
    });
}

PyObject* file_seek(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&] {
        if (nargs < 1 || nargs > 2) raise(PyExc_TypeError, "seek() takes 1 or 2 arguments");
        long long offset = PyLong_AsLongLong(args[0]);
        if (offset == -1 && PyErr_Occurred()) throw_error();
        long whence = nargs == 2 ? PyLong_AsLong(args[1]) : 0;
        if (whence == -1 && PyErr_Occurred()) throw_error();
        return Object::steal(PyLong_FromLongLong(file_of(self).seek(offset, int(whence))));
    });
}

PyObject* file_tell(PyObject* self, PyObject*) { return PyLong_FromLongLong(file_of(self).tell()); }
PyObject* file_true(PyObject*, PyObject*) { Py_RETURN_TRUE; }

PyMethodDef file_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(file_read)), METH_FASTCALL, nullptr},
    {"seek", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(file_seek)), METH_FASTCALL, nullptr},
    {"tell", file_tell, METH_NOARGS, nullptr},
    {"seekable", file_true, METH_NOARGS, nullptr},
    {"readable", file_true, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int file_traverse(PyObject* self, visitproc visit, void* arg) { return file_of(self).traverse(visit, arg); }

int file_clear(PyObject* self) {
    file_of(self).clear();
    return 0;
}

void file_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    delete reinterpret_cast<RangeFileObject*>(self)->file;
    Py_TYPE(self)->tp_free(self);
}

PyTypeObject file_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "quorvel_master.business_layer.packages.package_index_client.range_file";
    t.tp_basicsize = sizeof(RangeFileObject);
    t.tp_dealloc = file_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = "A remote file read by HTTP range requests, with the fetched ranges kept.";
    t.tp_traverse = file_traverse;
    t.tp_clear = file_clear;
    t.tp_methods = file_methods;
    return t;
}();

}  // namespace

Object RangeFile::create(const Session& session, const Object& url) {
    if (!(file_type.tp_flags & Py_TPFLAGS_READY)) check(PyType_Ready(&file_type));
    auto* object = PyObject_GC_New(RangeFileObject, &file_type);
    if (!object) throw_error();
    object->file = nullptr;
    Object file = Object::steal(reinterpret_cast<PyObject*>(object));  // dealloc copes with a null file
    object->file = new RangeFile(session, url);
    PyObject_GC_Track(object);
    return file;
}

RangeFile& RangeFile::of(const Object& file) { return file_of(file.get()); }

}  // namespace pic::finder
